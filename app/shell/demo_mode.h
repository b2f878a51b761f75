// Demo mode: a virtual target on a private COM alias and a temporary
// profile that points the program at it and at the sample files.
#pragma once

#include <cstdint>
#include <memory>

#include <QString>

class DemoEnvironment {
public:
    // COM number of the virtual target inside the demo's private alias folder.
    static constexpr int kComNumber = 40;

    // Starts the virtual target; null with a reason when it cannot.
    static std::unique_ptr<DemoEnvironment> start(QString *error);
    ~DemoEnvironment();

    QString profilePath() const;
    QString samplesFolder() const;
    // The target's flash, for tests.
    QByteArray flash() const;
    void setFlash(uint32_t address, const QByteArray &bytes);

private:
    DemoEnvironment();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
