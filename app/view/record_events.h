// Bridge from the library's worker threads to the GUI thread: a PRRWindow
// whose post callback turns each notification into a queued Qt event.
#pragma once

#include <QEvent>
#include <QObject>

#include "quillctl.h"

class RecordEvent : public QEvent {
public:
    static QEvent::Type eventType();
    RecordEvent(uint32_t message, quint64 source) : QEvent(eventType()), message_(message), source_(source) {}
    uint32_t message() const { return message_; }
    // The notifier that posted it, so events of a handle closed meanwhile can
    // be told apart from those of its successor.
    quint64 source() const { return source_; }

private:
    uint32_t message_;
    quint64 source_;
};

// One notifier per library handle. It must outlive the handle's worker
// (close the handle first), and the receiver must outlive the notifier.
class RecordNotifier {
public:
    explicit RecordNotifier(QObject *receiver);
    RecordNotifier(const RecordNotifier &) = delete;
    RecordNotifier &operator=(const RecordNotifier &) = delete;

    PRRWindow *window() { return &window_; }
    quint64 id() const { return id_; }

private:
    static void Post(PRRWindow *self, uint32_t message);

    PRRWindow window_{};
    QObject *receiver_;
    quint64 id_;
};
