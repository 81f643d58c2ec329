#include "protocol/winsocket.h"
