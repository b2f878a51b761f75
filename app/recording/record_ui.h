// The Record Settings dialog and the History window. The view reaches them
// through RecordUi only, so tests can answer the dialog and read what the
// window would show.
#pragma once

#include <vector>

#include <QList>
#include <QString>
#include <QStringList>

#include "record/run_row.h"
#include "shell/settings.h"

class QWidget;

// What empty fields of the settings stand for.
struct RecordDefaults {
    QString database, station, operatorName;
};

// What the History window shows: the newest rows and today's yield per station.
struct HistoryView {
    QString source;                                // the database, as the store names it
    std::vector<quillrecord::RunRow> rows;         // oldest first
    std::vector<quillrecord::SummaryLine> today;   // by station
};

// The table texts of the History window: its header, then one list of cells per row.
QStringList HistoryHeader();
QList<QStringList> HistoryCells(const std::vector<quillrecord::RunRow> &rows);
QStringList YieldHeader();
QList<QStringList> YieldCells(const std::vector<quillrecord::SummaryLine> &lines);

class RecordUi {
public:
    virtual ~RecordUi() = default;
    // Shows the settings modally; true for OK, with `values` changed.
    virtual bool editSettings(QWidget *parent, RecordSettings &values, const RecordDefaults &defaults) = 0;
    virtual void showHistory(QWidget *parent, const HistoryView &history) = 0;
};

class QtRecordUi : public RecordUi {
public:
    bool editSettings(QWidget *parent, RecordSettings &values, const RecordDefaults &defaults) override;
    void showHistory(QWidget *parent, const HistoryView &history) override;
};
