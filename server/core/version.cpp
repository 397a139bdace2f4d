#include "server/core/version.h"

const char* server_version() { return "Orvik System Server Ver 76.01j\n" __DATE__ " / NV"; }
