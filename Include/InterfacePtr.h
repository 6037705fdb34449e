// Owning pointer to one reference of a framework interface, for the platform libraries, the
// module and hosts alike.
#pragma once

#include "ComponentBase.h"

#include <utility>

namespace Components
{
template <typename I> class InterfacePtr
{
public:
    InterfacePtr() noexcept = default;
    // Takes over the caller's reference (attach) or adds one of its own.
    InterfacePtr(I* raw, bool attach) noexcept : m_p(raw)
    {
        if (m_p != nullptr && !attach)
        {
            m_p->AddRef();
        }
    }
    InterfacePtr(const InterfacePtr& other) noexcept : InterfacePtr(other.m_p, false) {}
    InterfacePtr(InterfacePtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    InterfacePtr& operator=(const InterfacePtr& other) noexcept
    {
        if (other.m_p != m_p)
        {
            InterfacePtr copy(other);
            Swap(copy);
        }
        return *this;
    }
    InterfacePtr& operator=(InterfacePtr&& other) noexcept
    {
        InterfacePtr moved(std::move(other));
        Swap(moved);
        return *this;
    }
    ~InterfacePtr() { Reset(); }

    void Reset() noexcept
    {
        if (I* old = std::exchange(m_p, nullptr))
        {
            old->Release();
        }
    }
    // Hands the reference to the caller.
    I* Detach() noexcept { return std::exchange(m_p, nullptr); }
    // Releases what is held and exposes the slot for a call that stores a new reference.
    I** Out() noexcept
    {
        Reset();
        return &m_p;
    }
    void** OutVoid() noexcept { return reinterpret_cast<void**>(Out()); }
    void Swap(InterfacePtr& other) noexcept { std::swap(m_p, other.m_p); }

    I* Get() const noexcept { return m_p; }
    I* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

private:
    I* m_p = nullptr;
};
} // namespace Components
