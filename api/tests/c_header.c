/* nvapi32.h as a C program sees it: every export called through its declared type. */
#include <stddef.h>
#include <string.h>

#include "api/nvapi32.h"

static void on_event(int32_t code, const char* text) {
    (void)code;
    (void)text;
}

/* Runs the calls that need no server; returns the number of unexpected results. */
int nvapi32_c_header_check(void) {
    char answer[16];
    int unexpected = 0;
    NuvraWindow window = 0;
    NuvraEventHandler handler = on_event;
    int16_t (*command_answer)(const char*, int32_t, char*, int32_t) = NuvraCommandAnswer;

    unexpected += NuvraErrorShowMsgBox(0) != 1;
    unexpected += NuvraSetEventHandler(handler) != 1;
    unexpected += NuvraSetEventHandler(NULL) != 1;
    unexpected += NuvraSetHwnd(window) != 1;
    NuvraTcpIpEvent(0, 0);
    unexpected += NuvraConnect("FILE") != 1;
    unexpected += NuvraBegin() != 0; /* the no-connection transport refuses sessions */
    unexpected += command_answer("GV", (int32_t)strlen("GV") + 1, answer, (int32_t)sizeof answer) != 1;
    unexpected += answer[0] != '\0';
    unexpected += NuvraEnd() != 0;
    unexpected += NuvraDisconnect() != 1;
    unexpected += NUVRA_WM_EVENT != 0x400 + 5;
    return unexpected;
}
