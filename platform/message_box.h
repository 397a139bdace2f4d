// Message boxes of the client library on a desktop without a Windows message box: a desktop
// dialog program shows the message when a graphical session is there, standard error otherwise.
#pragma once

#include <string>

namespace platform {

enum class MessageBoxIcon { error, information };

// Shows the message and returns once the user has closed it. A graphical session is one with
// $DISPLAY or $WAYLAND_DISPLAY set; the first of zenity, kdialog and xmessage that starts shows the
// box. Without a session, or when none of them starts, the message is written to standard error
// as "title: text" and the call returns at once, so a headless process is never held up.
void show_message_box(const std::string& title, const std::string& text, MessageBoxIcon icon);

} // namespace platform
