#include "host/windows/excel_dispatch.h"

#include <oleauto.h>

#include <cstdio>
#include <vector>

#include "host/windows/variant_value.h"

namespace quillo::host::win {
namespace {

// The object model's "object required" error, as an HRESULT and as its number.
constexpr SCODE kObjectRequired = static_cast<SCODE>(0x800A01A8u);
constexpr WORD kObjectRequiredCode = 424;
constexpr SCODE kSubscriptOutOfRange = static_cast<SCODE>(0x800A0009u);

std::string hex(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

Status from_hresult(std::string_view name, HRESULT hr, const std::string& description) {
  std::string message = std::string(name) + ": ";
  message += description.empty() ? "failed (" + hex(hr) + ")" : description;
  switch (hr) {
    case kObjectRequired:
      return Status(StatusCode::ObjectRequired, message);
    case DISP_E_UNKNOWNNAME:
    case DISP_E_MEMBERNOTFOUND:
      return Status(StatusCode::NotSupported, message);
    case DISP_E_BADINDEX:
    case kSubscriptOutOfRange:
      return Status(StatusCode::OutOfRange, message);
    default:
      return Status(StatusCode::OperationFailed, message);
  }
}

Status from_exception(std::string_view name, EXCEPINFO& info) {
  if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
  std::string description;
  if (info.bstrDescription) {
    description =
        utf8_from_wide(std::wstring_view(info.bstrDescription, SysStringLen(info.bstrDescription)));
  }
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrHelpFile);
  HRESULT code = info.scode;
  if (code == 0 && info.wCode == kObjectRequiredCode) code = kObjectRequired;
  if (code == 0) code = DISP_E_EXCEPTION;
  return from_hresult(name, code, description);
}

Result<Variant> invoke(IDispatch* object, std::string_view name, WORD flags,
                       std::span<const Variant> args, const Variant* value) {
  if (!object) return Status::object_required(std::string(name));
  const std::wstring wide = wide_from_utf8(name);
  LPOLESTR names[] = {const_cast<LPOLESTR>(wide.c_str())};
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return from_hresult(name, hr, {});

  // DISPPARAMS lists the arguments last to first; a property's new value
  // comes first of all, as the one named argument.
  std::vector<VARIANT> list;
  list.reserve(args.size() + 1);
  if (value) list.push_back(value->get());
  for (auto it = args.end(); it != args.begin();) list.push_back((--it)->get());
  DISPID put_id = DISPID_PROPERTYPUT;
  DISPPARAMS params{};
  params.rgvarg = list.empty() ? nullptr : list.data();
  params.cArgs = static_cast<UINT>(list.size());
  if (value) {
    params.rgdispidNamedArgs = &put_id;
    params.cNamedArgs = 1;
  }
  Variant result;
  EXCEPINFO info{};
  UINT arg_err = 0;
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                      value ? nullptr : result.put(), &info, &arg_err);
  if (hr == DISP_E_EXCEPTION) return from_exception(name, info);
  if (FAILED(hr)) return from_hresult(name, hr, {});
  return result;
}

}  // namespace

Variant::Variant(std::int32_t i) : Variant() {
  m_v.vt = VT_I4;
  m_v.lVal = i;
}

Variant::Variant(double d) : Variant() {
  m_v.vt = VT_R8;
  m_v.dblVal = d;
}

Variant::Variant(bool b) : Variant() {
  m_v.vt = VT_BOOL;
  m_v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
}

Variant::Variant(std::string_view text) : Variant() {
  const std::wstring w = wide_from_utf8(text);
  m_v.bstrVal = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
  // Out of memory leaves it empty: the call then fails on a missing argument.
  if (m_v.bstrVal) m_v.vt = VT_BSTR;
}

Variant::Variant(IDispatch* object) : Variant() {
  m_v.vt = VT_DISPATCH;
  m_v.pdispVal = object;
  if (object) object->AddRef();
}

Variant Variant::missing() {
  Variant v;
  v.m_v.vt = VT_ERROR;
  v.m_v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}

Variant::Variant(const Variant& o) : Variant() {
  // VariantCopy does not write its source; mingw declares it non-const.
  if (FAILED(VariantCopy(&m_v, const_cast<VARIANT*>(&o.m_v)))) VariantInit(&m_v);
}

Variant::Variant(Variant&& o) noexcept : m_v(o.m_v) {
  VariantInit(&o.m_v);
}

Variant& Variant::operator=(Variant o) noexcept {
  std::swap(m_v, o.m_v);
  return *this;
}

Dispatch Variant::object() const {
  const VARIANT* v = &m_v;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  if (v->vt == VT_DISPATCH) return Dispatch::share(v->pdispVal);
  if (v->vt == (VT_BYREF | VT_DISPATCH) && v->ppdispVal) return Dispatch::share(*v->ppdispVal);
  return {};
}

bool Variant::is_nothing() const {
  return m_v.vt == VT_EMPTY || m_v.vt == VT_NULL || (m_v.vt == VT_DISPATCH && !m_v.pdispVal);
}

Result<std::int32_t> Variant::to_int() const {
  const Value v = value_from_variant(m_v);
  if (v.type() == ValueType::Integer) return static_cast<std::int32_t>(v.number());
  if (v.is_number() && v.number() >= -2147483648.0 && v.number() <= 2147483647.0) {
    return static_cast<std::int32_t>(v.number());
  }
  return Status::failed("the host answered " + v.to_text() + " where a whole number belongs");
}

Result<bool> Variant::to_bool() const {
  const Value v = value_from_variant(m_v);
  if (v.type() == ValueType::Bool) return v.as_bool();
  if (v.is_number()) return v.number() != 0;
  return Status::failed("the host answered " + v.to_text() + " where TRUE or FALSE belongs");
}

Result<double> Variant::to_double() const {
  const Value v = value_from_variant(m_v);
  if (v.is_number()) return v.number();
  if (v.is_error()) return Status::failed(std::string(error_text(v.error())));
  return Status::failed("the host answered " + v.to_text() + " where a number belongs");
}

Result<std::string> Variant::to_text() const {
  const Value v = value_from_variant(m_v);
  if (v.is_text()) return v.text();
  if (v.type() == ValueType::Empty || v.type() == ValueType::Null) return std::string();
  if (v.is_array() || v.is_error()) {
    return Status::failed("the host answered " + v.to_text() + " where a text belongs");
  }
  return v.to_text();
}

Result<Variant> call(IDispatch* object, std::string_view name,
                     std::initializer_list<Variant> args) {
  return call_with(object, name, std::span<const Variant>(args.begin(), args.size()));
}

Result<Variant> call_with(IDispatch* object, std::string_view name, std::span<const Variant> args) {
  return invoke(object, name, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args, nullptr);
}

Status put(IDispatch* object, std::string_view name, const Variant& value,
           std::initializer_list<Variant> index) {
  auto r = invoke(object, name, DISPATCH_PROPERTYPUT,
                  std::span<const Variant>(index.begin(), index.size()), &value);
  return r.ok() ? Status() : r.status();
}

Result<Dispatch> call_object(IDispatch* object, std::string_view name,
                             std::initializer_list<Variant> args) {
  auto r = call(object, name, args);
  if (!r.ok()) return r.status();
  Dispatch d = r->object();
  if (!d) return Status::object_required(std::string(name) + " answered Nothing");
  return d;
}

}  // namespace quillo::host::win
