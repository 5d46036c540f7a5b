#include "ZeravError.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "host_texts.h"
#include "platform/CString.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "platform/Encoding.h"
#endif

namespace {

struct State {
    std::mutex lock;
    std::vector<std::string> pendingInserts;
    std::vector<CZeravError::StringSource> sources;
    CZeravError::Handler handler = nullptr;
};

State& GetState() {
    static State* state = new State;  // outlives every static destructor that may report
    return *state;
}

std::vector<std::string> Collect(int count, va_list args) {
    std::vector<std::string> out;
    for (int i = 0; i < count && i < 16; ++i) {
        const char* text = va_arg(args, const char*);
        out.emplace_back(text ? text : "");
    }
    return out;
}

std::string Substitute(const std::string& pattern, const std::vector<std::string>& inserts) {
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        char c = pattern[i];
        if (c == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') {
            size_t k = static_cast<size_t>(pattern[i + 1] - '1');
            if (k < inserts.size()) out += inserts[k];
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

void DefaultShow(const std::string& text) {
#if defined(_WIN32)
    MessageBoxA(nullptr, text.c_str(), host_texts::MSG_CAPTION, MB_OK | MB_ICONEXCLAMATION);
#else
    std::fprintf(stderr, "%s\n", Cp949ToUtf8(text).c_str());
#endif
}

}  // namespace

void CZeravError::MessageText(int code, int count, const char* const* inserts, CString* text) {
    std::vector<std::string> values;
    for (int i = 0; i < count; ++i) values.emplace_back(inserts[i] ? inserts[i] : "");

    std::string pattern;
    for (const auto* e = host_texts::kStringTable; e->text; ++e) {
        if (e->id == code) pattern = e->text;
    }
    if (pattern.empty()) {
        std::vector<StringSource> sources;
        {
            State& s = GetState();
            std::lock_guard<std::mutex> hold(s.lock);
            sources = s.sources;
        }
        for (StringSource source : sources) {
            CString found;
            if (source(code, &found)) {
                pattern = found.Str();
                break;
            }
        }
    }
    if (pattern.empty()) {
        pattern = host_texts::MSG_UNKNOWN;
        values.assign(1, std::to_string(code));
    }
    *text = Substitute(pattern, values);
}

int CZeravError::ErrMsg(int code, int count, ...) {
    va_list args;
    va_start(args, count);
    std::vector<std::string> inserts = Collect(count, args);
    va_end(args);

    State& s = GetState();
    Handler handler;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (count == 0) inserts.swap(s.pendingInserts);
        s.pendingInserts.clear();
        handler = s.handler;
    }
    std::vector<const char*> pointers;
    for (const auto& i : inserts) pointers.push_back(i.c_str());
    CString text;
    MessageText(code, static_cast<int>(pointers.size()), pointers.data(), &text);
    if (handler) {
        handler(code, text, static_cast<int>(pointers.size()), pointers.data());
    } else {
        DefaultShow(text.Str());
    }
    return code;
}

void CZeravError::SetErrorString(int count, ...) {
    va_list args;
    va_start(args, count);
    std::vector<std::string> inserts = Collect(count, args);
    va_end(args);
    State& s = GetState();
    std::lock_guard<std::mutex> hold(s.lock);
    s.pendingInserts = std::move(inserts);
}

void CZeravError::AddStringSource(StringSource source) {
    State& s = GetState();
    std::lock_guard<std::mutex> hold(s.lock);
    s.sources.push_back(source);
}

void CZeravError::RemoveStringSource(StringSource source) {
    State& s = GetState();
    std::lock_guard<std::mutex> hold(s.lock);
    s.sources.erase(std::remove(s.sources.begin(), s.sources.end(), source), s.sources.end());
}

void CZeravError::SetHandler(Handler handler) {
    State& s = GetState();
    std::lock_guard<std::mutex> hold(s.lock);
    s.handler = handler;
}
