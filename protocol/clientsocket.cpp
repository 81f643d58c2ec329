#include "protocol/clientsocket.h"
