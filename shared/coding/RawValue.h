#pragma once

#include <QLatin1StringView>
#include <QStringView>

#include <array>
#include <optional>

// Enumerations stored or exchanged as text: case i has the raw value
// `names[i]`, and only an exact, case-sensitive match names a case.
template <typename Enum, size_t N>
std::optional<Enum> fromRawValue(const std::array<QLatin1StringView, N>& names, QStringView raw) {
    for (size_t i = 0; i < N; ++i) {
        if (raw == names[i])
            return Enum(i);
    }
    return std::nullopt;
}
