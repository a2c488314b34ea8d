// Any text as corvella-host's --log-hide list. A list is taken whole or refused with its first
// item that is refused alone; a taken list hides what its items hide one by one, never a byte
// below 0x80; a byte item is "0x" and two hexadecimal digits and hides that byte, a name hides
// one system status or a channel kind on all 16 channels; and the hidden statuses, written back
// as a list of bytes, read back the same.
#include <bitset>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/logshow.h"

namespace {

using Statuses = std::bitset<256>;

bool hexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool byteItem(const std::string& item) {
    return item.size() == 4 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X') &&
           hexDigit(item[2]) && hexDigit(item[3]);
}

bool nameItem(const std::string& item) {
    for (char c : item)
        if (!(c >= 'a' && c <= 'z') && c != '-') return false;
    return !item.empty();
}

Statuses hiddenBy(const LogShow& show) {
    Statuses s;
    for (unsigned i = 0; i < 256; ++i) s[i] = show.hidden(static_cast<std::uint8_t>(i));
    return s;
}

std::vector<std::string> items(const std::string& list) {
    std::vector<std::string> out;
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = list.find(',', at);
        out.push_back(list.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) return out;
        at = end + 1;
    }
}

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "log-hide list: %s\n", what);
    std::abort();
}

// What one item alone hides; false when it is refused. Checks the item's shape against it.
bool itemAlone(const std::string& item, Statuses& out) {
    LogShow one;
    std::string bad;
    if (!one.hideList(item, bad)) {
        require(bad == item, "an item refused alone names another item");
        return false;
    }
    out = hiddenBy(one);
    if (byteItem(item)) {
        const auto value = std::strtoul(item.c_str() + 2, nullptr, 16);
        require(out.count() == 1 && out[value] && value >= 0x80, "a byte item hides other bytes");
        return true;
    }
    require(nameItem(item), "an item taken that is neither a byte nor a name");
    require(out.any(), "an item taken that hides nothing");
    std::size_t first = 0;
    while (!out[first]) ++first;
    const bool system = first >= 0xF0 && out.count() == 1;
    bool kind = first >= 0x80 && first < 0xF0 && (first & 0x0F) == 0 && out.count() == 16;
    for (std::size_t c = 0; kind && c < 16; ++c) kind = out[first | c];
    require(system || kind, "a name hides neither one system status nor one whole kind");
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string list(reinterpret_cast<const char*>(data), size);
    LogShow show;
    std::string bad;
    const bool taken = show.hideList(list, bad);

    Statuses expected;
    const std::vector<std::string> all = items(list);
    const std::string* firstBad = nullptr;
    for (const std::string& item : all) {
        Statuses alone;
        if (item.empty()) continue;
        if (itemAlone(item, alone)) {
            expected |= alone;
            continue;
        }
        firstBad = &item;
        break;
    }
    require(taken == (firstBad == nullptr), "taken or refused otherwise than its items alone");
    if (!taken) {
        require(bad == *firstBad, "refused with another item than its first refused one");
        return 0;
    }
    const Statuses hidden = hiddenBy(show);
    require(hidden == expected, "hides other statuses than its items alone");
    for (unsigned i = 0; i < 0x80; ++i) require(!hidden[i], "hides a byte below 0x80");

    std::string written;
    for (unsigned i = 0x80; i < 256; ++i) {
        if (!hidden[i]) continue;
        char item[8];
        std::snprintf(item, sizeof item, "%s0x%02X", written.empty() ? "" : ",", i);
        written += item;
    }
    LogShow again;
    require(again.hideList(written, bad) && hiddenBy(again) == hidden,
            "the hidden bytes written as a list read back otherwise");
    return 0;
}
