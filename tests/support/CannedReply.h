// CannedReply: a reply that a fake transport hands out as often as asked. Response is move-only
// (it may carry a passphrase); this copies it explicitly, so tables of replies stay plain values.
#pragma once

#include <concepts>
#include <expected>
#include <utility>

#include "ipc/SocketClient.h"

namespace vantorelle {

struct CannedReply
{
    using Result = std::expected<Response, SocketClient::ClientError>;

    template <typename T>
    requires std::constructible_from<Result, T&&> CannedReply(T&& value)
        : m_value(std::forward<T>(value))
    {
    }
    CannedReply(const CannedReply& other)
        : m_value(other.get())
    {
    }
    CannedReply& operator=(const CannedReply& other) { return m_value = other.get(), *this; }
    Result get() const { return m_value ? Result(m_value->copy()) : Result(std::unexpected(m_value.error())); }

private:
    Result m_value;
};

} // namespace vantorelle
