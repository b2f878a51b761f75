// `quillrom ports`: the serial ports with their COM numbers, aliases first.
#include <memory>
#include <vector>

#include "commands.h"
#include "quillctl.h"

namespace quillcli {

void AddPortsCommand(CLI::App &app, CliContext &ctx) {
    auto *cmd = app.add_subcommand("ports", "List serial ports with their COM numbers (aliases first)");
    auto all = std::make_shared<bool>(false);
    cmd->add_flag("--all", *all, "Also list serial devices other than native UARTs and USB adapters");
    cmd->callback([&ctx, all] {
        const int32_t allPorts = *all ? 1 : 0;
        std::vector<PRRPortInfo> ports(256);
        int32_t n = PRRPortList(ports.data(), static_cast<int32_t>(ports.size()), allPorts);
        if (n > static_cast<int32_t>(ports.size())) n = static_cast<int32_t>(ports.size());
        if (n == 0) {
            *ctx.out << "no serial ports found\n";
            return;
        }
        for (int32_t i = 0; i < n; ++i) {
            char line[512];
            std::snprintf(line, sizeof line, "%-6s %-24s %s\n", ports[i].name, ports[i].path,
                          ports[i].description);
            *ctx.out << line;
        }
    });
}

}  // namespace quillcli
