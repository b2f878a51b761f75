// `quillrom prm show|check|stamp FILE`: the command line of the parameter-file
// tools; prm_dump.cpp and prm_stamp.cpp do the work.
#include <memory>
#include <string>

#include "commands.h"
#include "prm_dump.h"
#include "prm_stamp.h"

namespace quillcli {
namespace {

struct PrmOptions {
    std::string file;
    bool json = false;
};

}  // namespace

void AddPrmCommands(CLI::App &app, CliContext &ctx) {
    auto opts = std::make_shared<PrmOptions>();
    CLI::App *prm = app.add_subcommand("prm", "Parameter files (.prm): show, check, stamp");
    prm->require_subcommand(1);

    CLI::App *show = prm->add_subcommand("show", "Show the device parameters as the library reads them");
    show->add_option("FILE", opts->file, "parameter file")->required();
    show->add_flag("--json", opts->json, "print JSON");
    show->callback([opts, &ctx] { ctx.exitCode = prm::Show(opts->file, opts->json, *ctx.out, *ctx.err); });

    CLI::App *check = prm->add_subcommand(
        "check", "Check the file's checksum (exit 1 on a mismatch); warns about line ends the reader cannot use");
    check->add_option("FILE", opts->file, "parameter file")->required();
    check->callback([opts, &ctx] { ctx.exitCode = prm::Check(opts->file, *ctx.out, *ctx.err); });

    CLI::App *stamp = prm->add_subcommand(
        "stamp", "Write the correct SUM= value into the [CHECKSUM] section (added before [EOF] when missing)");
    stamp->add_option("FILE", opts->file, "parameter file")->required();
    stamp->callback([opts, &ctx] { ctx.exitCode = prm::Stamp(opts->file, *ctx.out, *ctx.err); });
}

}  // namespace quillcli
