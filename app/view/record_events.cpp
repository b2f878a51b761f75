#include "view/record_events.h"

#include <atomic>

#include <QCoreApplication>

QEvent::Type RecordEvent::eventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

namespace {
std::atomic<quint64> nextNotifierId{1};
}

RecordNotifier::RecordNotifier(QObject *receiver) : receiver_(receiver), id_(nextNotifierId++) {
    window_.post = &RecordNotifier::Post;
    window_.context = this;
    RecordEvent::eventType();  // register on the GUI thread, before any worker posts
}

void RecordNotifier::Post(PRRWindow *self, uint32_t message) {
    auto *notifier = static_cast<RecordNotifier *>(self->context);
    // postEvent is thread-safe and keeps the order of the posts.
    QCoreApplication::postEvent(notifier->receiver_, new RecordEvent(message, notifier->id_));
}
