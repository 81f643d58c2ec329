#include "protocol/serversocket.h"
