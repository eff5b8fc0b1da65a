#include "file.h"
