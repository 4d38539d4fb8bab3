#pragma once
// The process-wide switchable, rotating text log.

namespace brisklog {
// 0 = off (the start value); any other value = on. Read without a lock by every writer.
void SetLogSwitch(int value);
int LogSwitch();
}  // namespace brisklog

// printf-style; does nothing while the switch is off. The message is cut to 1023 characters.
// Text received from outside must go in as a "%s" argument, never as the format.
void WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The prefix, then at most 20 bytes as "%02x " pairs, then " +%d" for the rest.
void WriteLogHex(const char* prefix, const void* data, int length);

// Writes one line with the time stamp; ignores the switch (only the two above call it).
void WriteLogLine(const char* message);

// Size above which the log is rotated into the backup file.
inline constexpr long kLogRotateSize = 1048576;
