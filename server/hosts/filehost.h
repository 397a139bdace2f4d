// The FILE host transport: a command file and an answer file.
//
// "FILE,<base name>" (a path without extension, at most 80 characters; backslashes are folder
// separators) uses <base>.IN, <base>.OUT and <base>.POS, each created if missing.
//
// Exchange: another program appends command lines to <base>.IN (ended by LF or CR LF). Each host
// run step serves the next complete line, if there is one, and appends exactly one line to
// <base>.OUT: the answer (CR and LF inside it become blanks) or an empty line for a line that
// holds no command; lines end with CR LF. A last line without its LF waits until it is complete;
// a line longer than 5000 characters is served cut to 5000.
//
// <base>.POS holds the offset in <base>.IN up to which lines were taken, as decimal text. It is
// written (through a temporary file and a rename) before the line is served, so a line is never
// served twice, also across restarts; a crash between the two may lose that line's answer.
// A .IN file shorter than the offset has been replaced: serving starts again at its beginning.
#pragma once

#include "server/hosts/hostslot.h"

extern const HostTransport host_transport_file;
