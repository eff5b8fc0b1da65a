#include "brute_force.h"
