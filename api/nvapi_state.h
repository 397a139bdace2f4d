// The library's process-wide state, as the transports and the tests reach it.
#pragma once

#include <memory>
#include <mutex>

#include "api/eventbuff.h"
#include "api/protocol.h"

constexpr char SETTINGS_FILE[] = "NUVRAAPI.INI";
constexpr char DEFAULT_CONNECTION[] = "NET,ZADOZIV,ZDLL";
constexpr int LOCK_WAIT_MS = 30000;

// Library start and end; the shared object's constructor and destructor call them. Start resolves
// the settings path from the current folder.
void ApiLibraryStart();
void ApiLibraryEnd();

// The settings file the transports read their [PROTOCOL] keys from: "<current folder>/NUVRAAPI.INI"
// when that file existed at library start, else the bare name (the Windows folder's file).
const char* ApiSettingsPath();

// Hands one event to the application: code = (high << 8) | low, the text through the event ring,
// to the callback and then to the window. Any thread.
void ApiDeliverEvent(int high, int low, const char* text);
CProtocolEventBuff& ApiEventRing();

// The API lock and its wait (LOCK_WAIT_MS unless a test shortens it).
std::recursive_timed_mutex& ApiLock();
void ApiSetLockWaitMs(int ms);

// Test access to the transport and session state.
void ApiInstallTransport(std::unique_ptr<CProtocol> transport);
CProtocol* ApiTransport();
int ApiSessionCount();
const char* ApiConnectionText();
