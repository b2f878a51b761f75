#include "setup/port_choices.h"

#include <cstring>

namespace {

// The listing's texts are fixed-size fields; one that fills its field has no
// terminator.
QString FieldText(const char *field, size_t size) {
    return QString::fromLocal8Bit(field, static_cast<qsizetype>(::strnlen(field, size)));
}

}  // namespace

std::vector<PRRPortInfo> LibraryPorts(bool allPorts) {
    std::vector<PRRPortInfo> ports(32);
    // The listing reports how many there are; ask again when they did not
    // fit (a port may also come or go in between).
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int32_t total = PRRPortList(ports.data(), static_cast<int32_t>(ports.size()), allPorts ? 1 : 0);
        if (total < 0) return {};
        if (static_cast<size_t>(total) <= ports.size()) {
            ports.resize(static_cast<size_t>(total));
            return ports;
        }
        ports.resize(static_cast<size_t>(total) + 8);
    }
    return ports;
}

QList<PortChoice> PortChoices(const std::vector<PRRPortInfo> &ports) {
    QList<PortChoice> choices;
    for (const PRRPortInfo &p : ports) {
        if (p.number < 1 || p.number > 255) continue;
        PortChoice c;
        c.number = p.number;
        // Named from its number, which is what the library opens.
        c.name = QStringLiteral("COM%1").arg(p.number);
        const QString path = FieldText(p.path, sizeof p.path);
        const QString description = FieldText(p.description, sizeof p.description);
        c.detail = description.isEmpty() ? path : path + QStringLiteral(" (") + description + QLatin1Char(')');
        c.detail.truncate(kPortDetailLength);
        // An alias names its adapter by serial number; say which one it is,
        // since the path alone does not show it at a glance.
        const QString aliasOf = QStringLiteral("alias: ");
        c.label = description.startsWith(aliasOf) ? c.name + QStringLiteral("  ") + description.mid(aliasOf.size()) : c.name;
        choices.append(c);
    }
    return choices;
}
