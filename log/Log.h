#pragma once
// The process-wide switchable, rotating text log. Under systemd the same lines also go to the
// journal through standard error.
#include "log/Journal.h"

namespace brisk {

// 0 = off (the start value); any other value = on. Read without a lock by every writer.
void SetLogSwitch(int value);
int LogSwitch();

// printf-style; does nothing while the switch is off. The message is cut to 1023 characters.
// Text received from outside must go in as a "%s" argument, never as the format.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// As WriteLog, at the given priority in the journal (WriteLog's lines are Info).
void WriteLogAt(LogPriority priority, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The prefix, then at most 20 bytes as "%02x " pairs, then " +%d" for the rest.
void WriteLogHex(const char* prefix, const void* data, int length);

// Writes one line with the time stamp; ignores the switch (only the ones above call it).
void WriteLogLine(const char* message);
void WriteLogLineAt(LogPriority priority, const char* message);

// A text that a person must see, such as the one a message box shows. It always goes to
// standard error (at warning priority when that is the journal), whatever the switch, and to
// the log file as well while the switch is on. A headless program has no other way to say it.
void WriteNotice(const char* text);

// Receives every line as it is written to the file (time stamp included, no line break), under
// the log's lock, so lines arrive in file order. Tests attach one to watch the log in memory.
using LogSink = void (*)(void* context, const char* line);
// Replaces the sink; a null sink detaches it. The file behaviour does not change.
void SetLogSink(LogSink sink, void* context);

// Size above which the log is rotated into the backup file.
inline constexpr long kLogRotateSize = 1048576;

}  // namespace brisk
