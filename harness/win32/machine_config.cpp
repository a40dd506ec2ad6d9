// The machine's configuration: one directive a line, '#' starts a comment,
// ';' also ends a line (handy in an environment variable).
//
//   clock real [PROCESSORS]     real time on PROCESSORS (1-16, default 2) emulated processors
//   clock virtual               virtual time: time moves only while a program waits or sleeps
//   port NAME [generation=N] [layout=one|two] [far=FAR]
//   driver host                 the driver built for this host, linked into the library (the default)
//   driver image=PATH           the Windows x64 driver image at PATH (tarnlink64.sys, its linker map
//                               tarnlink64.map beside it); PATH runs to the end of the line. Only
//                               the 64-bit library loads images: the 32-bit one refuses the line.
//
// FAR is what is plugged into the port's serial connector:
//   loopback                   a loopback plug (the default)
//   none                       nothing
//   null-modem:OTHER           a null-modem cable to port OTHER, which names this port back
//   script:FILE                a scripted peer running FILE (see ParsePeerScript)
//
// With no port line the machine has the default port (COM5, loopback);
// with no driver line it runs the host build.
// Anything else is an error naming the line.
//
// A peer script has one step a line, run in order:
//   send TEXT                  sends TEXT on the line
//   expect TEXT                waits until TEXT has been received
// TEXT runs to the end of the line; \r \n \t \\ and \xHH are escapes.
// After the last step the peer stays connected and quiet.
#include "harness/win32/machine_config.h"

#include <charconv>
#include <map>
#include <set>

namespace tarnlink::win32 {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> Words(std::string_view s) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        const size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
        if (i > start) out.push_back(s.substr(start, i - start));
    }
    return out;
}

bool ParseInt(std::string_view s, int low, int high, int* out) {
    int value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || end != s.data() + s.size() || value < low || value > high) return false;
    *out = value;
    return true;
}

// A name an application can open as "\\.\NAME": no path separators.
bool ValidPortName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (c == '\\' || c == '/' || c == ':' || c == '=' || static_cast<unsigned char>(c) < 0x21) return false;
    return true;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return out;
}

struct Parser {
    ConfigResult result;
    std::set<std::string> names;
    bool sawClock = false;

    bool Fail(int line, std::string message) {
        result.ok = false;
        result.line = line;
        result.error = "line " + std::to_string(line) + ": " + message;
        return false;
    }

    bool Clock(int line, const std::vector<std::string_view>& w) {
        if (sawClock) return Fail(line, "a second clock line");
        sawClock = true;
        if (w.size() >= 2 && w[1] == "virtual" && w.size() == 2) {
            result.config.realTime = false;
            return true;
        }
        if (w.size() >= 2 && w[1] == "real" && w.size() <= 3) {
            result.config.realTime = true;
            if (w.size() == 3 && !ParseInt(w[2], 1, 16, &result.config.processors))
                return Fail(line, "processors must be 1 to 16, not '" + std::string(w[2]) + "'");
            return true;
        }
        return Fail(line, "expected 'clock real [PROCESSORS]' or 'clock virtual'");
    }

    bool Option(int line, PortConfig& port, std::string_view option) {
        const size_t eq = option.find('=');
        if (eq == std::string_view::npos) return Fail(line, "expected KEY=VALUE, not '" + std::string(option) + "'");
        const std::string_view key = option.substr(0, eq), value = option.substr(eq + 1);
        if (key == "generation") {
            if (!ParseInt(value, 0, 4, &port.generation))
                return Fail(line, "generation must be 0 to 4, not '" + std::string(value) + "'");
        } else if (key == "layout") {
            if (value == "one") port.layout = PortConfig::Layout::OneInterface;
            else if (value == "two") port.layout = PortConfig::Layout::TwoInterfaces;
            else return Fail(line, "layout must be 'one' or 'two', not '" + std::string(value) + "'");
        } else if (key == "far") {
            return FarEnd(line, port, value);
        } else {
            return Fail(line, "unknown port option '" + std::string(key) + "'");
        }
        return true;
    }

    bool FarEnd(int line, PortConfig& port, std::string_view value) {
        if (value == "loopback") port.farEnd = PortConfig::FarEnd::Loopback;
        else if (value == "none") port.farEnd = PortConfig::FarEnd::None;
        else if (value.starts_with("null-modem:") && value.size() > 11) {
            port.farEnd = PortConfig::FarEnd::NullModem;
            port.farArgument = Upper(value.substr(11));
        } else if (value.starts_with("script:") && value.size() > 7) {
            port.farEnd = PortConfig::FarEnd::Script;
            port.farArgument = std::string(value.substr(7));
        } else {
            return Fail(line, "unknown far end '" + std::string(value) +
                                  "' (loopback, none, null-modem:PORT or script:FILE)");
        }
        return true;
    }

    bool Port(int line, const std::vector<std::string_view>& w) {
        if (w.size() < 2 || !ValidPortName(w[1])) return Fail(line, "expected 'port NAME [KEY=VALUE...]'");
        PortConfig port;
        port.name = Upper(w[1]);
        if (!names.insert(port.name).second) return Fail(line, "port " + port.name + " named twice");
        for (size_t i = 2; i < w.size(); ++i)
            if (!Option(line, port, w[i])) return false;
        result.config.ports.push_back(port);
        portLines.push_back(line);
        return true;
    }

    // Each null-modem cable joins two ports that name each other.
    bool CheckCables() {
        std::map<std::string, const PortConfig*> byName;
        for (const auto& p : result.config.ports) byName[p.name] = &p;
        for (size_t i = 0; i < result.config.ports.size(); ++i) {
            const PortConfig& p = result.config.ports[i];
            if (p.farEnd != PortConfig::FarEnd::NullModem) continue;
            auto other = byName.find(p.farArgument);
            if (other == byName.end() || other->second == &p)
                return Fail(portLines[i], "null-modem cable to '" + p.farArgument + "', which is no other port");
            if (other->second->farEnd != PortConfig::FarEnd::NullModem || other->second->farArgument != p.name)
                return Fail(portLines[i], "port " + p.farArgument + " must name " + p.name +
                                              " as its null-modem far end too");
        }
        return true;
    }

    bool Driver(int line, std::string_view text) {
        if (sawDriver) return Fail(line, "a second driver line");
        sawDriver = true;
        const auto w = Words(text);
        if (w.size() == 2 && w[1] == "host") return true;
        constexpr std::string_view kImage = "image=";
        if (w.size() < 2 || !w[1].starts_with(kImage))
            return Fail(line, "expected 'driver host' or 'driver image=PATH'");
        // The path is the rest of the line, so that it may hold spaces.
        const std::string_view path = Trim(text.substr(text.find(kImage) + kImage.size()));
        if (path.empty()) return Fail(line, "'driver image=' needs the path of a driver image");
        if (sizeof(void*) != 8)
            return Fail(line, "'driver image=' needs the 64-bit library: only x64 driver images load, "
                              "and this library is built for the 32-bit host");
        result.config.driverImage = std::string(path);
        return true;
    }

    std::vector<int> portLines;
    bool sawDriver = false;
};

std::string Unescape(std::string_view s, bool* ok) {
    std::string out;
    *ok = true;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) return *ok = false, out;
        switch (s[i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            unsigned value = 0;
            if (i + 2 >= s.size()) return *ok = false, out;
            auto [end, ec] = std::from_chars(s.data() + i + 1, s.data() + i + 3, value, 16);
            if (ec != std::errc() || end != s.data() + i + 3) return *ok = false, out;
            out += char(value);
            i += 2;
            break;
        }
        default: return *ok = false, out;
        }
    }
    return out;
}

// Splits a text into numbered lines at '\n' or `also`.
template <typename Fn>
bool ForEachLine(std::string_view text, char also, Fn&& fn) {
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = start;
        while (end < text.size() && text[end] != '\n' && text[end] != also) ++end;
        ++number;
        if (!fn(number, text.substr(start, end - start))) return false;
        if (end == text.size()) break;
        start = end + 1;
    }
    return true;
}

}  // namespace

MachineConfig DefaultMachineConfig() {
    MachineConfig config;
    config.ports.push_back(PortConfig{});
    return config;
}

ConfigResult ParseMachineConfig(std::string_view text) {
    Parser parser;
    parser.result.ok = true;
    const bool ok = ForEachLine(text, ';', [&](int number, std::string_view line) {
        const size_t hash = line.find('#');
        if (hash != std::string_view::npos) line = line.substr(0, hash);
        const auto words = Words(Trim(line));
        if (words.empty()) return true;
        if (words[0] == "clock") return parser.Clock(number, words);
        if (words[0] == "port") return parser.Port(number, words);
        if (words[0] == "driver") return parser.Driver(number, Trim(line));
        return parser.Fail(number, "unknown directive '" + std::string(words[0]) + "' (clock, port or driver)");
    });
    if (!ok || !parser.CheckCables()) return parser.result;
    if (parser.result.config.ports.empty()) parser.result.config.ports.push_back(PortConfig{});
    return parser.result;
}

ScriptResult ParsePeerScript(std::string_view text) {
    ScriptResult result;
    result.ok = ForEachLine(text, '\n', [&](int number, std::string_view line) {
        line = Trim(line);
        if (line.empty() || line.front() == '#') return true;
        const size_t space = line.find(' ');
        const std::string_view verb = line.substr(0, space);
        const std::string_view rest = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        bool ok = false;
        ScriptStep step{verb == "expect", Unescape(rest, &ok)};
        if ((verb != "expect" && verb != "send") || !ok || step.text.empty()) {
            result.error = "line " + std::to_string(number) + ": expected 'send TEXT' or 'expect TEXT'";
            return false;
        }
        result.steps.push_back(std::move(step));
        return true;
    });
    return result;
}

}  // namespace tarnlink::win32
