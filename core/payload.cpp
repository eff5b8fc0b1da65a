#include "payload.h"
