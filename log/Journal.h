#pragma once
// Standard error as the journal's stream: under systemd each line carries the priority
// prefix that the journal reads ("<3>", "<4>", "<6>").
#include <string>
#include <string_view>

namespace brisk {

enum class LogPriority : int { Error = 3, Warning = 4, Info = 6 };

// True when JOURNAL_STREAM ("device:inode") names what file descriptor 2 is now. Read once, on
// first use; DetectJournalStream reads it again (after standard error was redirected).
bool StderrIsJournal();
void DetectJournalStream();

// One "<N>text\n" per line of text (a line break inside the text starts a new prefixed line);
// empty text gives one empty prefixed line.
std::string JournalLines(LogPriority priority, std::string_view text);

// Writes the text to standard error: prefixed when it is the journal, as it stands otherwise.
// One write call, so that lines from other writers do not cut into it.
void WriteStderr(LogPriority priority, std::string_view text);

}  // namespace brisk
