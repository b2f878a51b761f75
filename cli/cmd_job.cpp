// `quillrom job`: production jobs an engineer prepares and locks, and the
// keys that sign them. `station --job` runs one.
#include "os_compat.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "device_args.h"
#include "device_run.h"
#include "job_file.h"
#include "record/store_common.h"
#include "record/unit_field.h"

namespace quillcli {

std::vector<std::string> JobOptionNames() {
    CLI::App probe;
    DeviceArgs unused;
    AddJobOptions(&probe, unused, false);
    std::vector<std::string> names = {"--fill"};
    for (const CLI::Option *o : probe.get_options())
        if (o->get_name() != "--help") names.push_back(o->get_name());
    return names;
}

int DeviceArgsOfJob(const ProductionJob &job, DeviceArgs *out, std::string *why) {
    CLI::App app;
    DeviceArgs a;
    AddSourceOptions(&app, a, false);
    AddJobOptions(&app, a, true);
    std::vector<std::string> args = JobArguments(job);
    args.insert(args.begin(), "job");
    std::vector<const char *> argv;
    for (const std::string &s : args) argv.push_back(s.c_str());
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError &e) {
        *why = std::string("the job's options are not this quillrom's: ") + e.what();
        return kExitUsage;
    }
    a.given.assign(args.begin() + 1, args.end());
    *out = a;
    return kExitOk;
}

namespace {

struct CreateArgs {
    std::string path, command, sign;
    DeviceArgs device;
};

int CreateJob(CreateArgs &a, CLI::App *cmd, CliContext &ctx) {
    const auto fail = [&](int code, const std::string &why) {
        *ctx.err << "quillrom: " << why << '\n';
        return code;
    };
    const CommandInfo *info = nullptr;
    for (const CommandInfo &c : DeviceCommands())
        if (a.command == c.name) info = &c;
    if (info == nullptr) return fail(kExitUsage, "a job runs a device command (program, auto, verify, ...), not '" + a.command + "'");
    if (NeedsLoadFile(info->command) && a.device.files.empty())
        return fail(kExitUsage, "job create ... " + a.command + " needs the load file: SOURCE...");
    if (!NeedsLoadFile(info->command) && !a.device.files.empty())
        return fail(kExitUsage, a.command + " takes no load file");
    if (a.path.size() < 6 || a.path.substr(a.path.size() - 5) != ".qjob")
        return fail(kExitUsage, "a job file's name ends in .qjob, not '" + a.path + "'");
    // Checked as a station would run it, so a mistake shows now, not on the line.
    DeviceJob check;
    if (const int code = BuildJob(info->command, a.device, ctx, &check); code != kExitOk) return code;
    ProductionJob job;
    job.command = a.command;
    for (const quillclient::LoadSource &s : check.spec.sources) {
        JobSource source;
        source.file.path = s.path;
        if (s.binary) source.address = s.address;
        job.sources.push_back(source);
    }
    job.prm.path = a.device.prm;
    job.fill = a.device.fill;
    // The other options as given, but the ones the job holds as files.
    const std::set<std::string> held = {"--prm", "--fill", "--field", "--sign"};
    for (const CLI::Option *o : cmd->get_options()) {
        const std::string name = o->get_name();
        if (o->count() == 0 || name.rfind("--", 0) != 0 || held.count(name) || name == "--help") continue;
        if (o->get_items_expected_max() == 0) job.options.push_back(name);
        else
            for (const std::string &v : o->results()) job.options.push_back(name + "=" + v);
    }
    for (size_t k = 0; k < a.device.fields.size(); ++k) {
        const std::string &text = a.device.fields[k];
        const quillrecord::FieldSpec &spec = check.fields.fields[k];
        const size_t at = text.find('@'), eq = text.find('=', at);
        JobField field{spec.name, text.substr(at + 1, eq - at - 1), text.substr(eq + 1), {}};
        if (spec.source == quillrecord::FieldSource::kList) field.list = JobFileEntry{spec.listPath, ""};
        job.fields.push_back(field);
    }
    job.createdUtc = quillrecord::UtcNow();
    std::string why;
    if (!WriteJobFile(a.path, job, a.sign, &why)) return fail(kExitIo, why);
    *ctx.out << "Wrote " << a.path << (a.sign.empty() ? " (not signed)" : " (signed with " + a.sign + ")") << '\n';
    return kExitOk;
}

void ShowJob(const ProductionJob &job, const std::string &sha256, std::ostream &out) {
    out << "Command:    " << job.command << '\n';
    for (const JobSource &s : job.sources) out << "Source:     " << s.file.path << "  " << s.file.sha256 << '\n';
    out << "Parameters: " << job.prm.path << "  " << job.prm.sha256 << '\n';
    std::string options;
    for (const std::string &o : job.options) options += (options.empty() ? "" : " ") + o;
    out << "Options:    " << (options.empty() ? "(none)" : options) << '\n';
    for (const JobField &f : job.fields) out << "Field:      " << f.name << "@" << f.place << "=" << f.source << '\n';
    out << "Created:    " << job.createdUtc << '\n';
    out << "Signed:     " << (job.keyId.empty() ? "no" : "by key " + job.keyId + ", signature good") << '\n';
    out << "Job SHA-256: " << sha256 << '\n';
}

}  // namespace

void AddJobCommands(CLI::App &app, CliContext &ctx) {
    auto *job = app.add_subcommand("job", "Production jobs: lock a command with its files and options, sign it, check it");
    job->require_subcommand(1);

    auto *keygen = job->add_subcommand("keygen", "Make a signing key pair: NAME.key (secret, mode 0600) and NAME.pub");
    auto name = std::make_shared<std::string>();
    keygen->add_option("NAME", *name, "The keys' file name without .key/.pub")->required();
    keygen->callback([&ctx, name] {
        std::string keyId, why;
        if (!MakeKeyPair(*name, &keyId, &why)) {
            *ctx.err << "quillrom: " << why << '\n';
            ctx.exitCode = CanSign() ? kExitIo : kExitUsage;
            return;
        }
        *ctx.out << "Wrote " << *name << ".key (keep it secret) and " << *name << ".pub, key id " << keyId << '\n';
    });

    auto *create = job->add_subcommand("create", "Write a job file: COMMAND, its load image, parameter file, options and fields");
    auto c = std::make_shared<CreateArgs>();
    create->add_option("JOB", c->path, "The job file to write (NAME.qjob)")->required();
    create->add_option("COMMAND", c->command, "The device command: auto, program, verify, ...")->required();
    AddSourceOptions(create, c->device, false);
    AddJobOptions(create, c->device, true);
    create->add_option("--sign", c->sign, "Sign the job with this secret key (quillrom job keygen NAME makes one)")
        ->type_name("NAME.key");
    create->callback([&ctx, c, create] { ctx.exitCode = CreateJob(*c, create, ctx); });

    auto *check = job->add_subcommand("check", "Check a job: its signature and that its files are unchanged");
    auto path = std::make_shared<std::string>();
    auto key = std::make_shared<std::string>();
    check->add_option("JOB", *path, "The job file")->required();
    check->add_option("--key", *key, "The public key that must have signed it")->type_name("NAME.pub");
    check->footer("Exit codes: 0 the job is good; 2 usage (a signed job without --key); 3 a file changed, is missing, or the signature does not match.");
    check->callback([&ctx, path, key] {
        ProductionJob j;
        std::string sha256, why;
        ctx.exitCode = ReadJobFile(*path, *key, &j, &sha256, &why);
        if (ctx.exitCode != kExitOk) {
            *ctx.err << "quillrom: " << why << '\n';
            return;
        }
        DeviceArgs a;
        if ((ctx.exitCode = DeviceArgsOfJob(j, &a, &why)) != kExitOk) {
            *ctx.err << "quillrom: " << why << '\n';
            return;
        }
        ShowJob(j, sha256, *ctx.out);
        *ctx.out << "Job OK\n";
    });
}

}  // namespace quillcli
