#include "wal.h"
