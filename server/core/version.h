#pragma once

// "Orvik System Server Ver 76.01j", a line feed, then the build date and mark.
const char* server_version();
