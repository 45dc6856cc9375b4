// Small text helpers of the client: sizes, the progress template and the
// download address of a packed file.
#ifndef QUASTO_CLIENT_CLIENT_TEXT_H_
#define QUASTO_CLIENT_CLIENT_TEXT_H_

#include <string>
#include <string_view>

namespace quasto::client {

// A byte count as KB, MB or GB with up to two decimals, for the summary line
// and the log: 1536 -> "1.50 KB", 10240 -> "10 KB", 1048576 -> "1 MB". The
// decimals are dropped when the first one is 0.
std::string SizeText(float bytes);

// A byte count with the given decimals and the largest fitting unit:
// 1536 -> "1.50 KB", 1023 -> "1023 Byte", negative -> "0 Byte".
std::string FormatByteSize(double bytes, int decimals);

// The progress template with {P}, then {S}, then {F} replaced, every
// occurrence of each, in that order.
std::string FillProgressTemplate(std::string_view templ, std::string_view percent,
                                 std::string_view size, std::string_view file);

// Percent-encodes every byte except the unreserved characters of RFC 3986,
// so that a packed file's name can stand in a URL path.
std::string PercentEncode(std::string_view text);

}  // namespace quasto::client

#endif  // QUASTO_CLIENT_CLIENT_TEXT_H_
