// A flash handle whose port is the slave side of a test pseudo-terminal. The
// handle has no worker thread, so the test thread drives the port itself.
#pragma once
#include <gtest/gtest.h>

#include "common/pty_peer.h"
#include "link/com_port.h"
#include "link/line_procedures.h"
#include "sequence/handover.h"
#include "worker/flash_worker.h"

namespace quilltest {

inline const quill::SequenceTable &IdleTable() {
    static const quill::SequenceTable t = {
        {}, {}, quill::FirstSequence, quill::LinkPurgeRx, quill::LinkIdle, quill::LinkClosePort,
        quill::NextSequence, quill::EndHandOver};
    return t;
}

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        h = quill::FlashOpenManualForTesting(nullptr, 0, "link", &IdleTable());
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(quill::ComOpenPort(h, peer.slavePath().c_str()), 0) << peer.slavePath();
        ASSERT_GE(h->port, 0);
        ASSERT_EQ(quill::ComSetFormat(h, quill::kBaudDevice), 0);
        h->reset.frequency = 8.0;
        h->reset.multiplier = 1.0;
    }
    void TearDown() override {
        peer.Join();
        quill::FlashClose(h);
    }
    PtyPeer peer;
    FlashHandle *h = nullptr;
};

}  // namespace quilltest
