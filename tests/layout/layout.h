#pragma once
// Record-layout table: each file in this directory registers the records of
// one component, and layout_dump prints them for the script-side check.
//
//   type   NAME SIZE ALIGN
//   field  RECORD FIELD OFFSET SIZE KIND    (KIND: s signed, u unsigned,
//                                            p pointer, a aggregate, f float)
#include <cstddef>
#include <cstdio>
#include <functional>
#include <type_traits>
#include <vector>

namespace layout {

using Printer = std::function<void()>;

inline std::vector<Printer>& registry()
{
    static std::vector<Printer> printers;
    return printers;
}

struct Registrar {
    explicit Registrar(Printer printer) { registry().push_back(std::move(printer)); }
};

template <class T>
void type(const char* name)
{
    printf("type %s %zu %zu\n", name, sizeof(T), alignof(T));
}

template <class F>
constexpr char kind()
{
    if constexpr (std::is_pointer_v<F>) {
        return 'p';
    } else if constexpr (std::is_array_v<F> || std::is_class_v<F> || std::is_union_v<F>) {
        return 'a';
    } else if constexpr (std::is_floating_point_v<F>) {
        return 'f';
    } else if constexpr (std::is_enum_v<F>) {
        return std::is_signed_v<std::underlying_type_t<F>> ? 's' : 'u';
    } else {
        return std::is_signed_v<F> ? 's' : 'u';
    }
}

inline void field(const char* record, const char* name, size_t offset, size_t size, char kind)
{
    printf("field %s %s %zu %zu %c\n", record, name, offset, size, kind);
}

}  // namespace layout

#define LAYOUT_TYPE(T) layout::type<T>(#T)
#define LAYOUT_FIELD(T, f) \
    layout::field(#T, #f, offsetof(T, f), sizeof(T::f), layout::kind<decltype(T::f)>())
#define LAYOUT_CONCAT2(a, b) a##b
#define LAYOUT_CONCAT(a, b) LAYOUT_CONCAT2(a, b)
// LAYOUT_REGISTER { LAYOUT_TYPE(x_t); LAYOUT_FIELD(x_t, a); ... };
#define LAYOUT_REGISTER static const layout::Registrar LAYOUT_CONCAT(layout_registrar_, __LINE__) = layout::Registrar([]()
#define LAYOUT_END )
