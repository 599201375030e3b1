#pragma once

#include "service/provider/EffectiveConfig.h"

#include <QString>

#include <utility>

// What the provider may do, and what it hands on to the engine it starts.
// The tunnel service starts it as the user; in system mode with only the two
// network capabilities as ambient ones, which pass through to the engine.
namespace Privileges {

// Keeps nothing but what the mode needs: no ambient capability in session
// mode, only CAP_NET_ADMIN and CAP_NET_BIND_SERVICE in system mode, and no
// way for the engine or anything it starts to gain more (no_new_privs).
// Empty on success, else why the provider must not go on.
QString restrict(EffectiveConfig::TunnelMode mode);

// Empty when `directory` is a directory of the user the provider runs as
// (not a symbolic link), else why it must not be used: a provider started
// with someone else's settings must not read or write them.
QString checkOwnDirectory(const QString& directory);

// An open file descriptor, closed when it goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd)
        : m_fd(fd) {}
    Descriptor(Descriptor&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    ~Descriptor();
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// `program` opened read-only (close-on-exec), to be run from the descriptor
// and never looked up by name again: what was checked is what runs. With
// `trusted`, the path is followed here one component at a time, links
// included, and refused unless every folder on the way, every link and the
// program itself belong to root and nobody else may change them (a sticky
// folder such as /tmp is not trusted either): whoever could replace any of
// them would run their own code with the network privileges. An invalid
// descriptor with the reason in `problem` otherwise.
Descriptor openProgram(const QString& program, bool trusted, QString* problem);

} // namespace Privileges
