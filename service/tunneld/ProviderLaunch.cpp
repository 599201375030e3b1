#include "service/tunneld/ProviderLaunch.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <grp.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

#ifndef HALVORAN_PROVIDER_INSTALL_DIR
#define HALVORAN_PROVIDER_INSTALL_DIR "/usr/local/libexec"
#endif

namespace {

constexpr auto providerName = "halvoran-tunnel"_L1;
constexpr auto sysextIdentifier = "dev.morvel.vpn.sysext"_L1;

bool isExecutable(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

// Async-signal-safe: runs in the forked child only.
[[noreturn]] void childFails(const char* what) {
    (void)!::write(STDERR_FILENO, "halvoran-tunneld: provider launch: ", 35);
    size_t length = 0;
    while (what[length])
        ++length;
    (void)!::write(STDERR_FILENO, what, length);
    (void)!::write(STDERR_FILENO, "\n", 1);
    ::_exit(127);
}

void becomeUser(const ProviderLaunch::Credentials& c) {
    // Nothing the provider or the engine runs can ever be granted more than
    // the two network capabilities. Dropped while the service's CAP_SETPCAP
    // is still effective, before the change of user clears it.
    for (int cap = 0; cap < 64; ++cap) {
        if (cap == CAP_NET_ADMIN || cap == CAP_NET_BIND_SERVICE)
            continue;
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            if (errno == EINVAL) // past the last capability this kernel knows
                break;
            childFails("PR_CAPBSET_DROP");
        }
    }
    // Keep the permitted set across the change of user, then narrow it.
    if (::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0)
        childFails("PR_SET_KEEPCAPS");
    if (::setgroups(c.groups.size(), c.groups.data()) != 0)
        childFails("setgroups");
    if (::setresgid(c.gid, c.gid, c.gid) != 0)
        childFails("setresgid");
    if (::setresuid(c.uid, c.uid, c.uid) != 0)
        childFails("setresuid");
    // Root keeps no more than anyone else: without this, running a program
    // as uid 0 would hand back every capability.
    if (c.uid == 0 &&
        ::prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED, 0, 0, 0) != 0)
        childFails("PR_SET_SECUREBITS");
    constexpr quint32 kept = (1u << CAP_NET_ADMIN) | (1u << CAP_NET_BIND_SERVICE);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {{kept, kept, kept}, {0, 0, 0}};
    if (::syscall(SYS_capset, &header, data) != 0)
        childFails("capset");
    for (int cap : {CAP_NET_ADMIN, CAP_NET_BIND_SERVICE})
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, cap, 0, 0) != 0)
            childFails("PR_CAP_AMBIENT_RAISE");
    if (::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0)
        childFails("PR_SET_KEEPCAPS");
    if (::getuid() != c.uid || ::geteuid() != c.uid || ::getgid() != c.gid)
        childFails("credentials did not change");
}

} // namespace

QString ProviderLaunch::providerProgram(const QString& bundleIdentifier, QString* error) {
    if (bundleIdentifier != sysextIdentifier) {
        *error = u"no tunnel provider is known for this profile"_s;
        return {};
    }
    QStringList candidates;
    if (const QString chosen = qEnvironmentVariable("HALVORAN_TUNNEL_PROVIDER"); !chosen.isEmpty())
        candidates << chosen;
    else
        candidates << QCoreApplication::applicationDirPath() + u'/' + providerName
                   << QString::fromUtf8(HALVORAN_PROVIDER_INSTALL_DIR) + u'/' + providerName;
    for (const QString& candidate : candidates)
        if (isExecutable(candidate))
            return candidate;
    *error = u"the tunnel provider halvoran-tunnel is not installed (looked for "_s +
             candidates.join(u", "_s) + u')';
    return {};
}

std::optional<ProviderLaunch> ProviderLaunch::asUser(const QString& program, uid_t uid,
                                                     QString* error) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        *error = u"user "_s + QString::number(uid) + u" is not in the user database"_s;
        return std::nullopt;
    }
    Credentials credentials{uid, entry.pw_gid, {}};
    int count = 64;
    credentials.groups.resize(size_t(count));
    if (::getgrouplist(entry.pw_name, entry.pw_gid, credentials.groups.data(), &count) < 0) {
        credentials.groups.resize(size_t(count));
        if (::getgrouplist(entry.pw_name, entry.pw_gid, credentials.groups.data(), &count) < 0)
            count = 0;
    }
    credentials.groups.resize(size_t(std::max(count, 0)));

    const QString home = QFile::decodeName(entry.pw_dir);
    QProcessEnvironment environment;
    environment.insert(u"HOME"_s, home);
    environment.insert(u"USER"_s, QFile::decodeName(entry.pw_name));
    environment.insert(u"LOGNAME"_s, QFile::decodeName(entry.pw_name));
    environment.insert(u"XDG_CONFIG_HOME"_s, home + u"/.config"_s);
    environment.insert(u"XDG_DATA_HOME"_s, home + u"/.local/share"_s);
    environment.insert(u"PATH"_s,
                       u"/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"_s);
    environment.insert(u"LANG"_s, u"C.UTF-8"_s);

    ProviderLaunch launch;
    launch.program = program;
    launch.arguments = {u"--mode"_s, u"system"_s};
    launch.environment = environment;
    launch.workingDirectory = u"/"_s;
    launch.credentials = std::move(credentials);
    return launch;
}

ProviderLaunch ProviderLaunch::asSelf(const QString& program) {
    ProviderLaunch launch;
    launch.program = program;
    launch.arguments = {u"--mode"_s, u"session"_s};
    launch.environment = QProcessEnvironment::systemEnvironment();
    return launch;
}

void ProviderLaunch::applyTo(QProcess& process) const {
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    const pid_t service = ::getpid();
    process.setChildProcessModifier([c = credentials, service] {
        // The provider inherits nothing of the service's but 0-2. Marked
        // close-on-exec rather than closed, so QProcess's own pipe still
        // reports a failed exec.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
            childFails("close_range");
        // Its own group, so that stopping it reaches the engine it starts too.
        if (::setpgid(0, 0) != 0)
            childFails("setpgid");
        if (c)
            becomeUser(*c);
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
            childFails("PR_SET_NO_NEW_PRIVS");
        // Set after the change of user, which clears it. A service that died
        // before this line is noticed by the check after it.
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0) != 0 || ::getppid() != service)
            childFails("the service is gone");
    });
}
