#pragma once
// Error raising and the wide report lines every service writes on failure.
#include <cstdint>
#include <exception>
#include <string_view>

#include "platform/hresult.h"

namespace vemx::frame {

using platform::E_FAIL;
using platform::E_INVALIDARG;
using platform::E_OUTOFMEMORY;
using platform::E_POINTER;
using platform::E_UNEXPECTED;
using platform::HRESULT;

// The exception every internal failure travels as; it carries the HRESULT.
// Its report line was written when it was raised.
class ComError : public std::exception {
  public:
    explicit ComError(HRESULT hr) noexcept : hr_(hr) {}
    HRESULT Error() const noexcept { return hr_; }
    const char* what() const noexcept override { return "COM error"; }

  private:
    HRESULT hr_;
};

// Writes "[vemx][ERROR]: <source>(<line>): COM error, hr=<hr>\n", then throws.
[[noreturn]] void RaiseComError(HRESULT hr, std::wstring_view source, int line);

// Raises E_FAIL from the calling line when cond is false.
#define VEMX_CHECK(cond, source)                                                            \
    do {                                                                                    \
        if (!(cond)) ::vemx::frame::RaiseComError(::vemx::frame::E_FAIL, source, __LINE__); \
    } while (0)

// "[<component>][ERROR]: <source>(<line>): [<function>] <text>\n"
void ReportFunction(std::wstring_view component, std::wstring_view source, int line,
                    std::wstring_view function, std::wstring_view text) noexcept;

// "[<component>][ERROR]: <source>(<line>): [<function>], 0x<16 hex digits> <text>\n"
void ReportObject(std::wstring_view component, std::wstring_view source, int line,
                  std::wstring_view function, const void* object, std::wstring_view text) noexcept;

// "[<component>][ERROR]: <text>\n"
void ReportShort(std::wstring_view component, std::wstring_view text) noexcept;

}  // namespace vemx::frame
