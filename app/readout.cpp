#include "app/readout.h"
