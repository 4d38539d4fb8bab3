#pragma once
// Text from outside (a reader, a platform, a USB device, a server) may carry control
// characters that forge log lines or move a terminal's cursor; they are shown escaped.
#include <string>
#include <string_view>

namespace brisk {

// C0 controls, DEL and the C1 controls (U+0080 to U+009F, as UTF-8) become \xNN (each byte);
// everything else, UTF-8 text included, is kept.
std::string EscapeControl(std::string_view text);

}  // namespace brisk
