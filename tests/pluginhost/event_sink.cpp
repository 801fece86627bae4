#include "event_sink.h"

#include <oleauto.h>

#include <cstdio>

namespace tavo::test {

namespace {

// The characters as printable ASCII: '"' and '\\' escaped with a backslash, anything else outside 0x20-0x7E
// as \uXXXX.
std::string Escaped(const wchar_t* text, UINT length) {
    std::string narrow;
    for (UINT i = 0; i < length; ++i) {
        wchar_t c = text[i];
        if (c == L'"' || c == L'\\') narrow.push_back('\\');
        if (c >= 0x20 && c < 0x7F) {
            narrow.push_back(static_cast<char>(c));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(c));
            narrow += escaped;
        }
    }
    return narrow;
}

}  // namespace

std::string DescribeVariant(const VARIANT& value) {
    switch (value.vt) {
        case VT_BSTR:
            if (!value.bstrVal) return "bstr:null";
            return "bstr:\"" + Escaped(value.bstrVal, SysStringLen(value.bstrVal)) + "\"";
        case VT_I4:
            return "i4:" + std::to_string(value.lVal);
        case VT_UI4:
            return "ui4:" + std::to_string(value.ulVal);
        case VT_INT:
            return "int:" + std::to_string(value.intVal);
        case VT_BOOL:
            return "bool:" + std::to_string(value.boolVal);
        case VT_EMPTY:
            return "empty";
        default:
            return "vt" + std::to_string(value.vt);
    }
}

STDMETHODIMP EventSink::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, m_events)) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP EventSink::GetTypeInfoCount(UINT* count) {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
}

STDMETHODIMP EventSink::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*,
                               EXCEPINFO*, UINT*) {
    std::string record = std::to_string(dispid) + "(";
    if (parameters) {
        for (UINT i = parameters->cArgs; i > 0; --i) {
            if (i != parameters->cArgs) record += ",";
            record += DescribeVariant(parameters->rgvarg[i - 1]);
        }
    }
    record += ")";
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_received.push_back(record);
    }
    return dispid == 0 ? m_pingAnswer : S_OK;
}

std::vector<std::string> EventSink::Events() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_received;
}

std::string EventSink::Transcript() const {
    std::string text;
    for (const auto& event : Events()) text += event + "\n";
    return text;
}

HRESULT InvokeWithCookie(IDispatch* object, DISPID dispid, BSTR request, ULONG* cookie, VARIANT* result) {
    VARIANTARG arguments[2];  // in dispatch order: the last argument first
    VariantInit(&arguments[0]);
    arguments[0].vt = VT_BYREF | VT_UI4;
    arguments[0].pulVal = cookie;
    VariantInit(&arguments[1]);
    arguments[1].vt = VT_BSTR;
    arguments[1].bstrVal = request;
    DISPPARAMS parameters = {arguments, nullptr, 2, 0};
    return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, result,
                          nullptr, nullptr);
}

size_t EventSink::EventCount() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_received.size();
}

}  // namespace tavo::test
