// `quillrom ports`: the serial ports with their COM numbers, aliases first,
// and what each USB adapter is: driver, IDs, serial number and the latency
// timer that decides how fast it programs. `--alias` gives an adapter a COM
// number that follows its serial number instead of its plug order.
#include <limits.h>
#include <sys/stat.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "client/port_diagnosis.h"
#include "ports_view.h"
#include "quillctl.h"

namespace quillcli {
namespace {

using quillclient::ComNumberOf;

std::string Field(const char *s, size_t size) { return std::string(s, strnlen(s, size)); }

std::string AliasFolder() {
    char path[PATH_MAX];
    return PRRAliasDir(path, sizeof path) > 0 ? std::string(path) : std::string();
}

std::vector<PRRPortInfo> Ports(bool all) {
    std::vector<PRRPortInfo> ports(256);
    int32_t n = PRRPortList(ports.data(), static_cast<int32_t>(ports.size()), all ? 1 : 0);
    ports.resize(static_cast<size_t>(std::max<int32_t>(0, std::min<int32_t>(n, 256))));
    return ports;
}

std::vector<PRRAdapterInfo> Adapters() {
    std::vector<PRRAdapterInfo> adapters(64);
    const int32_t n = PRRAdapterList(adapters.data(), static_cast<int32_t>(adapters.size()));
    adapters.resize(static_cast<size_t>(std::max<int32_t>(0, std::min<int32_t>(n, 64))));
    return adapters;
}

#if defined(_WIN32)
struct AliasArgs {
    std::string alias, serial, path, unalias;
};

// COM names are the system's own on Windows: Device Manager gives a port
// its number (Port Settings > Advanced > COM Port Number).
int NoAliases(CliContext &ctx) {
    *ctx.err << "quillrom: port aliases are not needed on Windows: set the adapter's COM number in Device Manager "
                "(Port Settings, Advanced, COM Port Number)\n";
    return kExitUsage;
}
int MakeAlias(const AliasArgs &, CliContext &ctx) { return NoAliases(ctx); }
int RemoveAlias(const std::string &, CliContext &ctx) { return NoAliases(ctx); }
#else
// Where an alias entry points (its symlink, or the path a file holds); empty when none.
std::string AliasTarget(const std::string &entry) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(entry.c_str(), buf, sizeof buf - 1);
    if (n > 0) return std::string(buf, static_cast<size_t>(n));
    return "";
}

struct AliasArgs {
    std::string alias, serial, path, unalias;
};

int MakeAlias(const AliasArgs &a, CliContext &ctx) {
    const int n = ComNumberOf(a.alias);
    if (n <= 0) {
        *ctx.err << "quillrom: '" << a.alias << "' is not a COM port name (COM1 to COM255)\n";
        return kExitUsage;
    }
    if (a.serial.empty() == a.path.empty()) {
        *ctx.err << "quillrom: --alias wants the adapter: --serial NUMBER or --path /dev/serial/by-id/...\n";
        return kExitUsage;
    }
    std::string target = a.path;
    if (!a.serial.empty()) {
        std::vector<PRRAdapterInfo> found;
        for (const PRRAdapterInfo &ad : Adapters())
            if (Field(ad.serial, sizeof ad.serial) == a.serial) found.push_back(ad);
        if (found.empty()) {
            *ctx.err << "quillrom: no USB serial adapter with serial number " << a.serial
                     << " is plugged in; 'quillrom ports' lists the adapters present\n";
            return kExitIo;
        }
        if (found.size() > 1) {
            *ctx.err << "quillrom: " << found.size() << " adapters have serial number " << a.serial
                     << " (cheap adapters often share one): name the port with --path instead\n";
            return kExitIo;
        }
        target = Field(found[0].stablePath, sizeof found[0].stablePath);
        if (target.empty()) {
            *ctx.err << "quillrom: the adapter with serial number " << a.serial << " (" << Field(found[0].tty, sizeof found[0].tty)
                     << ") has no name in /dev/serial/by-id, which udev makes; name it with --path instead\n";
            return kExitIo;
        }
    } else {
        struct stat st {};
        if (::stat(target.c_str(), &st) != 0) {
            *ctx.err << "quillrom: " << target << ": " << std::strerror(errno) << '\n';
            return kExitIo;
        }
    }
    const std::string dir = AliasFolder();
    if (dir.empty()) {
        *ctx.err << "quillrom: no alias folder: set QUILLROM_PORTS_DIR or HOME\n";
        return kExitIo;
    }
    const std::string name = "COM" + std::to_string(n);
    const std::string entry = dir + "/" + name;
    struct stat st {};
    if (::lstat(entry.c_str(), &st) == 0) {
        if (AliasTarget(entry) == target) {
            *ctx.out << name << " -> " << target << " (already)\n";
            return kExitOk;
        }
        *ctx.err << "quillrom: " << name << " is already an alias (" << entry
                 << "); remove it first with 'quillrom ports --unalias " << name << "'\n";
        return kExitIo;
    }
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (::symlink(target.c_str(), entry.c_str()) != 0) {
        *ctx.err << "quillrom: cannot write " << entry << ": " << std::strerror(errno) << '\n';
        return kExitIo;
    }
    *ctx.out << name << " -> " << target << '\n';
    return kExitOk;
}

int RemoveAlias(const std::string &alias, CliContext &ctx) {
    const int n = ComNumberOf(alias);
    if (n <= 0) {
        *ctx.err << "quillrom: '" << alias << "' is not a COM port name (COM1 to COM255)\n";
        return kExitUsage;
    }
    const std::string dir = AliasFolder();
    const std::string name = "COM" + std::to_string(n);
    const std::string entry = dir + "/" + name;
    struct stat st {};
    if (dir.empty() || ::lstat(entry.c_str(), &st) != 0) {
        *ctx.err << "quillrom: no alias " << name << " in " << (dir.empty() ? std::string("the alias folder") : dir) << '\n';
        return kExitIo;
    }
    if (::unlink(entry.c_str()) != 0) {
        *ctx.err << "quillrom: cannot remove " << entry << ": " << std::strerror(errno) << '\n';
        return kExitIo;
    }
    *ctx.out << "removed " << name << '\n';
    return kExitOk;
}

#endif

}  // namespace

void AddPortsCommand(CLI::App &app, CliContext &ctx) {
    auto *cmd = app.add_subcommand("ports", "List serial ports with their COM numbers (aliases first) and their adapters");
    auto all = std::make_shared<bool>(false);
    auto json = std::make_shared<bool>(false);
    auto alias = std::make_shared<AliasArgs>();
    cmd->add_flag("--all", *all, "Also list serial devices other than native UARTs and USB adapters");
    cmd->add_flag("--json", *json, "Print JSON");
    auto *aliasOpt = cmd->add_option("--alias", alias->alias, "Give an adapter this COM name (with --serial or --path)");
    cmd->add_option("--serial", alias->serial, "The adapter's serial number, as 'quillrom ports' shows it")->needs(aliasOpt);
    cmd->add_option("--path", alias->path, "The adapter's stable path, e.g. /dev/serial/by-id/...")->needs(aliasOpt);
    cmd->add_option("--unalias", alias->unalias, "Remove the alias COMn")->excludes(aliasOpt);
    cmd->callback([&ctx, all, json, alias] {
        if (!alias->unalias.empty()) {
            ctx.exitCode = RemoveAlias(alias->unalias, ctx);
            return;
        }
        if (!alias->alias.empty()) {
            ctx.exitCode = MakeAlias(*alias, ctx);
            return;
        }
        std::vector<PortView> views;
        for (const PRRPortInfo &p : Ports(*all)) {
            PortView v;
            v.port = p;
            v.hasAdapter = PRRPortAdapter(p.path, &v.adapter) == 1;
            views.push_back(v);
        }
        if (*json) {
            *ctx.out << PortsJson(views) << '\n';
            return;
        }
        if (views.empty()) {
            *ctx.out << "no serial ports found\n";
            return;
        }
        *ctx.out << PortsText(views);
    });
}

}  // namespace quillcli
