#pragma once
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Writes one line to standard error in the form
// "2026-12-06 13:14:50.123 Tidemark[pid:tid] text". The text is literal.
void log(std::string_view text);

// Tests can see every logged text (without the date and process prefix). Pass an empty
// function to restore the default. The sink is called on the logging thread.
using LogSink = std::function<void(std::string_view text)>;
void setLogSink(LogSink sink);

// The formatted prefix for the current moment, process and thread.
std::string logLinePrefix();

}  // namespace platform
