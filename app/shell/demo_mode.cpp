#include "shell/demo_mode.h"

#include <QDir>
#include <QTemporaryDir>

#include "shell/app_paths.h"
#include "shell/profile.h"

#ifdef QUILLROM2_HAVE_SIM
#include <stdexcept>

#include "sim/virtual_target.h"
#endif

struct DemoEnvironment::Impl {
    QTemporaryDir dir;
    QString samples;
#ifdef QUILLROM2_HAVE_SIM
    std::unique_ptr<quillsim::VirtualTarget> target;
#endif
};

DemoEnvironment::DemoEnvironment() : impl_(std::make_unique<Impl>()) {}

DemoEnvironment::~DemoEnvironment() = default;

QString DemoEnvironment::profilePath() const { return impl_->dir.filePath(QStringLiteral("Quillrom2.INI")); }

QString DemoEnvironment::samplesFolder() const { return impl_->samples; }

std::unique_ptr<DemoEnvironment> DemoEnvironment::start(QString *error) {
#ifndef QUILLROM2_HAVE_SIM
    *error = QStringLiteral("this build has no virtual target");
    return nullptr;
#else
    std::unique_ptr<DemoEnvironment> demo(new DemoEnvironment);
    Impl &d = *demo->impl_;
    if (!d.dir.isValid()) {
        *error = QStringLiteral("cannot create a temporary folder: ") + d.dir.errorString();
        return nullptr;
    }
    d.samples = SamplesFolder();
    if (d.samples.isEmpty()) {
        *error = QStringLiteral("cannot find the sample files (demo.prm, demo.hex)");
        return nullptr;
    }
    const QString prm = d.samples + QStringLiteral("/demo.prm");
    const QString hex = d.samples + QStringLiteral("/demo.hex");

    // A private alias folder: the demo's COM port hides no real port and
    // leaves the user's aliases alone. The library reads it when it opens a port.
    const QString ports = d.dir.filePath(QStringLiteral("ports"));
    QDir().mkpath(ports);
    qputenv("QUILLROM_PORTS_DIR", QFile::encodeName(ports));
    try {
        d.target = std::make_unique<quillsim::VirtualTarget>(QFile::encodeName(prm).toStdString());
        // At the wire's pace, as a board would answer: a program takes the
        // time it takes at a bench, and Stop has something to stop.
        d.target->setPacingFollowsLine(true);
#ifdef _WIN32
        d.target->serve(kComNumber);  // no pseudo-terminals: the library serves the port in-process
#else
        d.target->start();
        d.target->registerAlias(kComNumber, QFile::encodeName(ports).toStdString());
#endif
    } catch (const std::exception &e) {
        *error = QStringLiteral("cannot start the virtual target: ") + QString::fromLocal8Bit(e.what());
        return nullptr;
    }

    Profile profile(demo->profilePath());
    profile.writeText(QStringLiteral("Load File"), QStringLiteral("Name"), hex);
    profile.writeText(QStringLiteral("Parameter File"), QStringLiteral("Name"), prm);
    profile.writeInt(QStringLiteral("Parameter File"), QStringLiteral("Index"), 0);
    profile.writeInt(QStringLiteral("COMM Device"), QStringLiteral("Port"), kComNumber - 1);
    profile.writeInt(QStringLiteral("COMM Device"), QStringLiteral("Speed"), 0);
    profile.writeText(QStringLiteral("Supply Oscillator"), QStringLiteral("Freq"), QStringLiteral("8.00"));
    profile.writeText(QStringLiteral("Supply Oscillator"), QStringLiteral("Multipy"), QStringLiteral("1.00"));
    profile.writeInt(QStringLiteral("Operation Mode"), QStringLiteral("SupValue"), 0);
    // Program goes on with verify and checksum; Erase and Autoprocedure
    // start with a blank check.
    profile.writeInt(QStringLiteral("Command Options"), QStringLiteral("Blk"), 1);
    profile.writeInt(QStringLiteral("Command Options"), QStringLiteral("Veri"), 1);
    profile.writeInt(QStringLiteral("Command Options"), QStringLiteral("Sum"), 1);
    profile.writeInt(QStringLiteral("Device Setup"), QStringLiteral("PowerMessage"), 0);
    if (!profile.save()) {
        *error = QStringLiteral("cannot write the demo profile ") + demo->profilePath();
        return nullptr;
    }
    return demo;
#endif
}

QByteArray DemoEnvironment::flash() const {
#ifdef QUILLROM2_HAVE_SIM
    if (impl_->target) {
        const std::vector<uint8_t> bytes = impl_->target->flash();
        return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    }
#endif
    return {};
}

void DemoEnvironment::setFlash(uint32_t address, const QByteArray &bytes) {
#ifdef QUILLROM2_HAVE_SIM
    if (impl_->target) impl_->target->setFlash(address, std::vector<uint8_t>(bytes.cbegin(), bytes.cend()));
#else
    (void)address;
    (void)bytes;
#endif
}
