// BuildCommDCB and BuildCommDCBAndTimeouts: a device-definition string in
// the mode command's syntax turned into DCB members (and time-outs). No
// device is involved and nothing is sent.
//
// Two forms, after an optional device name ("COM1", "COM1:"):
//   baud=1200 parity=N data=8 stop=1 [to=on|off] [xon=on|off] [odsr=on|off]
//     [octs=on|off] [dtr=on|off|hs] [rts=on|off|hs|tg] [idsr=on|off]
//   9600,n,8,1[,x|p]          (the older positional form)
// A baud rate may be given by its first two digits (11 = 110, 15 = 150,
// 30, 60, 12, 24, 48, 96, 19 = 19200); other rates are taken as written.
//
// As documented: only the members the string names change, except that
// XON/XOFF and hardware flow control are turned off unless the string asks
// for them, and 110 baud gets two stop bits unless a stop value is given.
// "to=on" sets a 60 s total write time-out and every other time-out to
// zero, "to=off" every time-out to zero, and without "to=" the
// COMMTIMEOUTS record is left alone. The library's choices where the
// documentation says nothing: turning flow control off puts DTR and RTS
// under fixed control (DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE); the
// positional form's last field "x" means XON/XOFF both ways and "p" CTS/DSR
// output flow with DTR and RTS handshaking; DCBlength and fBinary are set.
// A string that does not parse fails with ERROR_INVALID_PARAMETER and
// changes nothing.
#include <cctype>
#include <string>
#include <vector>

#include "comm_control.h"

using namespace tarnlink_win32;

namespace {

enum class Timeouts { Untouched, Off, On };

struct Definition {
    DCB dcb;
    Timeouts timeouts = Timeouts::Untouched;
    bool stopGiven = false;
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(Trim(text.substr(start, end - start)));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

bool ParseBaud(const std::string& value, Definition* d) {
    if (value.empty() || value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos) return false;
    static const struct { DWORD abbreviation, rate; } kShort[] = {
        {11, 110}, {15, 150}, {30, 300}, {60, 600}, {12, 1200}, {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
    DWORD rate = static_cast<DWORD>(std::stoul(value));
    for (const auto& s : kShort)
        if (rate == s.abbreviation) rate = s.rate;
    if (rate == 0) return false;
    d->dcb.BaudRate = rate;
    return true;
}

bool ParseParity(const std::string& value, Definition* d) {
    static const char kLetters[] = "noems";  // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY
    if (value.size() != 1) return false;
    const char* at = std::char_traits<char>::find(kLetters, 5, value[0]);
    if (at == nullptr) return false;
    d->dcb.Parity = static_cast<BYTE>(at - kLetters);
    return true;
}

bool ParseData(const std::string& value, Definition* d) {
    if (value.size() != 1 || value[0] < '5' || value[0] > '8') return false;
    d->dcb.ByteSize = static_cast<BYTE>(value[0] - '0');
    return true;
}

bool ParseStop(const std::string& value, Definition* d) {
    if (value == "1") d->dcb.StopBits = ONESTOPBIT;
    else if (value == "1.5") d->dcb.StopBits = ONE5STOPBITS;
    else if (value == "2") d->dcb.StopBits = TWOSTOPBITS;
    else return false;
    d->stopGiven = true;
    return true;
}

// "on" or "off" into a one-bit member, through a setter (bit fields have
// no address).
template <typename Set>
bool ParseSwitch(const std::string& value, Set set) {
    if (value != "on" && value != "off") return false;
    set(value == "on");
    return true;
}

bool ParseDtr(const std::string& value, Definition* d) {
    if (value == "on") d->dcb.fDtrControl = DTR_CONTROL_ENABLE;
    else if (value == "off") d->dcb.fDtrControl = DTR_CONTROL_DISABLE;
    else if (value == "hs") d->dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    else return false;
    return true;
}

bool ParseRts(const std::string& value, Definition* d) {
    if (value == "on") d->dcb.fRtsControl = RTS_CONTROL_ENABLE;
    else if (value == "off") d->dcb.fRtsControl = RTS_CONTROL_DISABLE;
    else if (value == "hs") d->dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (value == "tg") d->dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    else return false;
    return true;
}

bool ParseKey(const std::string& key, const std::string& value, Definition* d) {
    DCB& dcb = d->dcb;
    if (key == "baud") return ParseBaud(value, d);
    if (key == "parity") return ParseParity(value, d);
    if (key == "data") return ParseData(value, d);
    if (key == "stop") return ParseStop(value, d);
    if (key == "dtr") return ParseDtr(value, d);
    if (key == "rts") return ParseRts(value, d);
    if (key == "to") return ParseSwitch(value, [d](bool on) { d->timeouts = on ? Timeouts::On : Timeouts::Off; });
    if (key == "xon") return ParseSwitch(value, [&dcb](bool on) { dcb.fOutX = dcb.fInX = on; });
    if (key == "odsr") return ParseSwitch(value, [&dcb](bool on) { dcb.fOutxDsrFlow = on; });
    if (key == "octs") return ParseSwitch(value, [&dcb](bool on) { dcb.fOutxCtsFlow = on; });
    if (key == "idsr") return ParseSwitch(value, [&dcb](bool on) { dcb.fDsrSensitivity = on; });
    return false;
}

bool ParseKeywords(const std::string& text, Definition* d) {
    for (const std::string& word : Split(text, ' ')) {
        if (word.empty()) continue;
        const size_t equals = word.find('=');
        if (equals == std::string::npos || !ParseKey(word.substr(0, equals), word.substr(equals + 1), d)) return false;
    }
    return true;
}

bool ParseRetry(const std::string& value, Definition* d) {
    if (value == "x") {
        d->dcb.fOutX = d->dcb.fInX = TRUE;
    } else if (value == "p") {
        d->dcb.fOutxCtsFlow = d->dcb.fOutxDsrFlow = TRUE;
        d->dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        d->dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (!value.empty()) {
        return false;
    }
    return true;
}

// baud[,parity[,data[,stop[,x|p]]]]; an empty field leaves its member.
bool ParsePositional(const std::string& text, Definition* d) {
    const std::vector<std::string> fields = Split(text, ',');
    bool (*const kParsers[])(const std::string&, Definition*) = {ParseBaud, ParseParity, ParseData, ParseStop,
                                                                 ParseRetry};
    if (fields.size() > 5) return false;
    for (size_t i = 0; i < fields.size(); ++i)
        if (!fields[i].empty() && !kParsers[i](fields[i], d)) return false;
    return !fields[0].empty();
}

// An optional "comN" or "comN:" before the settings.
std::string SkipDeviceName(const std::string& text) {
    if (text.rfind("com", 0) != 0 || text.size() < 4 || !std::isdigit(static_cast<unsigned char>(text[3])))
        return text;
    size_t at = 3;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    if (at < text.size() && text[at] == ':') ++at;
    return Trim(text.substr(at));
}

bool Parse(const std::string& definition, Definition* d) {
    const std::string settings = SkipDeviceName(Trim(Lower(definition)));
    if (settings.empty()) return false;
    DCB& dcb = d->dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = TRUE;
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    const bool parsed = settings.find('=') != std::string::npos ? ParseKeywords(settings, d)
                                                                : ParsePositional(settings, d);
    if (!parsed) return false;
    if (dcb.BaudRate == 110 && !d->stopGiven) dcb.StopBits = TWOSTOPBITS;
    return true;
}

BOOL Build(const std::string& definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    if (!RequireArgument(dcb)) return FALSE;
    Definition d;
    d.dcb = *dcb;
    if (!Parse(definition, &d)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *dcb = d.dcb;
    if (timeouts != nullptr && d.timeouts != Timeouts::Untouched) {
        *timeouts = COMMTIMEOUTS{};
        if (d.timeouts == Timeouts::On) timeouts->WriteTotalTimeoutConstant = 60000;
    }
    return TRUE;
}

// A wide definition is ASCII or names nothing the parser knows.
bool Narrow(LPCWSTR text, std::string* narrow) {
    for (LPCWSTR c = text; *c != 0; ++c) {
        if (*c >= 0x80) return false;
        narrow->push_back(static_cast<char>(*c));
    }
    return true;
}

BOOL BuildWide(LPCWSTR definition, LPDCB dcb, LPCOMMTIMEOUTS timeouts) {
    if (!RequireArgument(definition)) return FALSE;
    std::string narrow;
    if (!Narrow(definition, &narrow)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Build(narrow, dcb, timeouts);
}

}  // namespace

WINBASEAPI BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
    if (!RequireArgument(lpDef)) return FALSE;
    return Build(lpDef, lpDCB, nullptr);
}

WINBASEAPI BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) { return BuildWide(lpDef, lpDCB, nullptr); }

WINBASEAPI BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!RequireArgument(lpDef)) return FALSE;
    return Build(lpDef, lpDCB, lpCommTimeouts);
}

WINBASEAPI BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    return BuildWide(lpDef, lpDCB, lpCommTimeouts);
}
