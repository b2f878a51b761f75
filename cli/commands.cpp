#include "commands.h"

#include <sstream>

#include "quillctl.h"
#include "quillrom_version.h"

namespace quillcli {

namespace {

int Run(int argc, const char *const *argv, std::istream *in, std::ostream &out, std::ostream &err) {
    CliContext ctx{&out, &err};
    ctx.in = in;
    CLI::App app{"quillrom - program microcontroller flash through its serial bootloader"};
    app.name("quillrom");
    app.require_subcommand(1);
    // Options are --long and -s on every system: "/tmp/x.qjob" is a path, never an option.
    app.allow_windows_style_options(false);
    char version[64];
    std::snprintf(version, sizeof version, "quillrom %s (library %d)", QUILLROM_VERSION, PRRGetVersion());
    app.set_version_flag("--version", std::string(version));
    app.footer(
        "Exit codes: 0 success; 1 the check or device command failed (a nonzero status, "
        "\"CHECKSUM COMPARE: ERROR\", \"not blank.\" for blank-check, any target of a gang); "
        "2 usage error; 3 port or file problem (with the reason); 130 interrupted by Ctrl+C.");

    // Command families register here.
    AddHexCommands(app, ctx);
    AddPrmCommands(app, ctx);
    AddPortsCommand(app, ctx);
    AddDeviceCommands(app, ctx);
    AddDemoCommand(app, ctx);
    AddHistoryCommand(app, ctx);
    AddStationCommand(app, ctx);
    AddJobCommands(app, ctx);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        out << app.help();
        return kExitOk;
    } catch (const CLI::CallForAllHelp &e) {
        out << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    } catch (const CLI::CallForVersion &e) {
        out << version << "\n";
        return kExitOk;
    } catch (const CLI::ParseError &e) {
        err << "quillrom: " << e.what() << "\n";
        err << "Run with --help for more information.\n";
        return kExitUsage;
    }
    return ctx.exitCode;
}

}  // namespace

int RunCli(int argc, const char *const *argv, std::ostream &out, std::ostream &err) {
    return Run(argc, argv, nullptr, out, err);
}

int RunCli(int argc, const char *const *argv, std::istream &in, std::ostream &out, std::ostream &err) {
    return Run(argc, argv, &in, out, err);
}

}  // namespace quillcli
