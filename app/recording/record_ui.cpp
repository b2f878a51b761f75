#include "recording/record_ui.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QVBoxLayout>

#include "shell/prompts.h"

namespace {

QString Text(const std::string &s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

QTableWidget *Table(QWidget *parent, const QStringList &header, const QList<QStringList> &cells) {
    auto *table = new QTableWidget(static_cast<int>(cells.size()), static_cast<int>(header.size()), parent);
    table->setHorizontalHeaderLabels(header);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->verticalHeader()->setVisible(false);
    for (int r = 0; r < cells.size(); ++r)
        for (int c = 0; c < cells[r].size(); ++c) table->setItem(r, c, new QTableWidgetItem(cells[r][c]));
    table->resizeColumnsToContents();
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}

}  // namespace

QStringList HistoryHeader() {
    return {QStringLiteral("Started (UTC)"), QStringLiteral("Station"), QStringLiteral("Operator"),
            QStringLiteral("Port"),          QStringLiteral("Command"), QStringLiteral("Result"),
            QStringLiteral("Serial"),        QStringLiteral("Image"),   QStringLiteral("Detail")};
}

QList<QStringList> HistoryCells(const std::vector<quillrecord::RunRow> &rows) {
    QList<QStringList> out;
    for (const quillrecord::RunRow &r : rows)
        out.append({Text(r.startedUtc), Text(r.station), Text(r.operatorName), Text(r.portName), Text(r.command),
                    Text(r.result), r.serialNumber >= 0 ? QString::number(r.serialNumber) : QStringLiteral("-"),
                    Text(r.imageChecksum), Text(r.statusText)});
    return out;
}

QStringList YieldHeader() {
    return {QStringLiteral("Day (UTC)"), QStringLiteral("Station"), QStringLiteral("Runs"), QStringLiteral("OK"),
            QStringLiteral("Failed"), QStringLiteral("Yield")};
}

QList<QStringList> YieldCells(const std::vector<quillrecord::SummaryLine> &lines) {
    QList<QStringList> out;
    for (const quillrecord::SummaryLine &s : lines)
        out.append({Text(s.day), Text(s.station), QString::number(s.runs), QString::number(s.ok),
                    QString::number(s.failed), QString::asprintf("%.1f %%", s.yield())});
    return out;
}

bool QtRecordUi::editSettings(QWidget *parent, RecordSettings &values, const RecordDefaults &defaults) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("Record Settings"));
    auto *enabled = new QCheckBox(QStringLiteral("&Record every device command"), &dialog);
    enabled->setChecked(values.enabled != 0);
    auto line = [&dialog](const QString &text, const QString &placeholder) {
        auto *edit = new QLineEdit(text, &dialog);
        edit->setPlaceholderText(placeholder);
        edit->setMinimumWidth(360);
        return edit;
    };
    QLineEdit *database = line(values.database, defaults.database);
    QLineEdit *station = line(values.station, defaults.station);
    QLineEdit *person = line(values.operatorName, defaults.operatorName);
    database->setToolTip(QStringLiteral("sqlite:PATH, a file, or postgresql://user@host/db; empty: %1").arg(defaults.database));
    auto *form = new QFormLayout;
    form->addRow(enabled);
    form->addRow(QStringLiteral("&Database:"), database);
    form->addRow(QStringLiteral("&Station:"), station);
    form->addRow(QStringLiteral("O&perator:"), person);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto *layout = new QVBoxLayout(&dialog);
    layout->addLayout(form);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted) return false;
    values.enabled = enabled->isChecked() ? 1 : 0;
    values.database = database->text().trimmed();
    values.station = station->text().trimmed();
    values.operatorName = person->text().trimmed();
    return true;
}

void QtRecordUi::showHistory(QWidget *parent, const HistoryView &history) {
    QDialog dialog(parent);
    dialog.setWindowTitle(QStringLiteral("History"));
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("The last %1 runs in %2").arg(history.rows.size()).arg(history.source), &dialog));
    layout->addWidget(Table(&dialog, HistoryHeader(), HistoryCells(history.rows)), 3);
    layout->addWidget(new QLabel(QStringLiteral("Today's yield per station"), &dialog));
    layout->addWidget(Table(&dialog, YieldHeader(), YieldCells(history.today)), 1);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(960, 560);
    dialog.exec();
}
