#include <cstdio>
#include <iomanip>
#include <sstream>

#include "trace/trace.h"

namespace {

template <class T>
std::string Decimal(T value) {
    std::ostringstream stream;
    stream << value;
    return stream.str();
}

}  // namespace

CVarAdapter::CVarAdapter(const char* text) : m_text(text ? text : "") {}
CVarAdapter::CVarAdapter(const wchar_t* text) : m_text(WideToAnsi(text)) {}
CVarAdapter::CVarAdapter(char character) : m_text(1, character) {}
CVarAdapter::CVarAdapter(int value) : m_text(Decimal(value)) {}
CVarAdapter::CVarAdapter(unsigned int value) : m_text(Decimal(value)) {}
CVarAdapter::CVarAdapter(long value) : m_text(Decimal(value)) {}
CVarAdapter::CVarAdapter(unsigned long value) : m_text(Decimal(value)) {}
CVarAdapter::CVarAdapter(long long value) : m_text(Decimal(value)) {}
CVarAdapter::CVarAdapter(unsigned long long value) : m_text(Decimal(value)) {}
CVarAdapter::CVarAdapter(bool value) : m_text(value ? "TRUE" : "FALSE") {}

CVarAdapter::CVarAdapter(double value, int precision) {
    std::ostringstream stream;
    stream << std::fixed << std::showpoint << std::setprecision(precision) << value;
    m_text = stream.str();
}

CVarAdapter::CVarAdapter(const void* pointer) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned int>(reinterpret_cast<UINT_PTR>(pointer)));
    m_text = text;
}

CVarAdapter::CVarAdapter(const GUID& guid) {
    char text[40];
    snprintf(text, sizeof(text), "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
             static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
             guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    m_text = text;
}
