#include "collection.h"
