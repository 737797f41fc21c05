#include "frame/error.h"

#include <cinttypes>
#include <cwchar>
#include <string>

#include "frame/log.h"

namespace vemx::frame {

namespace {

std::wstring head(std::wstring_view component) {
    std::wstring s;
    s.reserve(128);
    s += L'[';
    s += component;
    s += L"][ERROR]: ";
    return s;
}

void where(std::wstring& s, std::wstring_view source, int line) {
    s += source;
    s += L'(';
    s += std::to_wstring(line);
    s += L"): ";
}

}  // namespace

void RaiseComError(HRESULT hr, std::wstring_view source, int line) {
    try {
        std::wstring s = head(L"vemx");
        where(s, source, line);
        s += L"COM error, hr=";
        s += std::to_wstring(hr);
        s += L'\n';
        WideError(s);
    } catch (...) {
        // Report lost to memory exhaustion; the raise itself still happens.
    }
    throw ComError(hr);
}

void ReportFunction(std::wstring_view component, std::wstring_view source, int line,
                    std::wstring_view function, std::wstring_view text) noexcept {
    try {
        std::wstring s = head(component);
        where(s, source, line);
        s += L'[';
        s += function;
        s += L"] ";
        s += text;
        s += L'\n';
        WideError(s);
    } catch (...) {
    }
}

void ReportObject(std::wstring_view component, std::wstring_view source, int line,
                  std::wstring_view function, const void* object, std::wstring_view text) noexcept {
    try {
        std::wstring s = head(component);
        where(s, source, line);
        s += L'[';
        s += function;
        s += L"], 0x";
        wchar_t addr[17];
        std::swprintf(addr, 17, L"%016" PRIXPTR, reinterpret_cast<uintptr_t>(object));
        s += addr;
        s += L' ';
        s += text;
        s += L'\n';
        WideError(s);
    } catch (...) {
    }
}

void ReportShort(std::wstring_view component, std::wstring_view text) noexcept {
    try {
        std::wstring s = head(component);
        s += text;
        s += L'\n';
        WideError(s);
    } catch (...) {
    }
}

}  // namespace vemx::frame
