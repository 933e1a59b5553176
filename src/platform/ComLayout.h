#pragma once

#include <cstddef>
#include <iterator>
#include <type_traits>

// A wrong vtable slot sends the host runtime into the wrong function, so slot positions are
// checked by the compiler. Each interface lists its own methods once, in published order, as
// entries of an X-macro such as
//
//     X(3, HRESULT, DoThing, (ULONG count, BOOL* pDone))
//
// The list is expanded once into the pure virtual declarations of the interface struct
// (QX_COM_PURE_VIRTUAL) and once by QX_COM_LAYOUT, which checks that the slot numbers continue
// the base's vtable without gap or overlap, that the vtable has the published length, and that
// every listed method is declared in the struct with exactly that signature.

#define QX_COM_PURE_VIRTUAL(slot, ret, name, params) virtual ret name params = 0;
#define QX_COM_SLOT_NUMBER(slot, ret, name, params) slot,
#define QX_COM_SIGNATURE_CHECK(slot, ret, name, params)                       \
    static_assert(std::is_same_v<decltype(&Self::name), ret(Self::*) params>, \
                  "slot " #slot ": " #name " is not declared in this interface as listed");

namespace qx::com {

// Vtable facts of one interface; specialised by QX_COM_LAYOUT. `length` counts every entry,
// inherited ones included.
template <class Interface>
struct Layout;

template <>
struct Layout<void> {
    static constexpr std::size_t length = 0;
};

template <std::size_t N>
constexpr bool SlotsRunFrom(std::size_t first, const std::size_t (&slots)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        if (slots[i] != first + i) {
            return false;
        }
    }
    return true;
}

}  // namespace qx::com

// Base is void for the root interface. Must be used at global scope.
#define QX_COM_LAYOUT(Interface, Base, METHODS, publishedLength)                                                    \
    template <>                                                                                                     \
    struct qx::com::Layout<Interface> {                                                                             \
        using Self = Interface;                                                                                     \
        using BaseInterface = Base;                                                                                 \
        static constexpr std::size_t slots[] = {METHODS(QX_COM_SLOT_NUMBER)};                                       \
        static constexpr std::size_t first = Layout<Base>::length;                                                  \
        static constexpr std::size_t length = first + std::size(slots);                                             \
        METHODS(QX_COM_SIGNATURE_CHECK)                                                                             \
    };                                                                                                              \
    static_assert(qx::com::SlotsRunFrom(qx::com::Layout<Interface>::first, qx::com::Layout<Interface>::slots),      \
                  #Interface ": slot numbers must continue the base vtable one by one");                            \
    static_assert(qx::com::Layout<Interface>::length == (publishedLength),                                          \
                  #Interface ": vtable length differs from the published one");                                     \
    static_assert(std::is_void_v<Base> || std::is_base_of_v<Base, Interface>, #Interface ": wrong base interface"); \
    static_assert(std::is_abstract_v<Interface> && sizeof(Interface) == sizeof(void*),                              \
                  #Interface ": an interface is one vtable pointer, no data and no second base");                   \
    static_assert(!std::has_virtual_destructor_v<Interface>,                                                        \
                  #Interface ": a virtual destructor would insert two vtable entries")
