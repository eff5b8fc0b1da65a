#include "distance.h"
