#include "sim/protocol_engine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace quillsim {
namespace {

using wire::Frame;
using wire::FrameForm;

#ifdef _WIN32
// MinGW's C99 printf (the build asks for it), so %zu means what it does on Linux.
std::string fmt(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string fmt(const char *format, ...) __attribute__((format(printf, 1, 2)));
#endif
std::string fmt(const char *format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

bool isBusy(uint8_t s) { return s == wire::kBusy || s == wire::kBusyAlt; }

uint8_t bcd(uint8_t value) { return static_cast<uint8_t>(((value / 10) << 4) | (value % 10)); }

}  // namespace

ProtocolEngine::ProtocolEngine(DeviceModel &model, FaultPlan &faults, Transcript &log)
    : model_(model), faults_(faults), log_(log), timing_(model.config().timing) {}

// ---------------------------------------------------------------------------
// Output and transcript

void ProtocolEngine::note(TimePoint at, const std::string &text) { log_.add(at, Direction::Note, text); }

void ProtocolEngine::emit(const Bytes &bytes, TimePoint at, const std::string &what) {
    if (silent_) {
        note(at, fmt("silent: %zu bytes not sent (%s)", bytes.size(), what.c_str()));
        return;
    }
    log_.add(at, Direction::DeviceToHost, what, bytes);
    Bytes &dest = holding_ ? held_ : out_;
    dest.insert(dest.end(), bytes.begin(), bytes.end());
}

void ProtocolEngine::emitQuiet(const Bytes &bytes) {
    if (silent_) return;
    Bytes &dest = holding_ ? held_ : out_;
    dest.insert(dest.end(), bytes.begin(), bytes.end());
}

void ProtocolEngine::sendStatus(Shape shape, uint8_t st1, uint8_t st2, TimePoint at, const std::string &what) {
    switch (shape) {
    case Shape::One:
        emit(wire::statusAnswer(st1), at, fmt("status %02X: %s", st1, what.c_str()));
        break;
    case Shape::Two:
        emit(wire::statusAnswer(st1, st2), at, fmt("status %02X %02X: %s", st1, st2, what.c_str()));
        break;
    case Shape::StatusFrame:
        emit(wire::statusFrame(Bytes{st1}), at, fmt("status frame %02X: %s", st1, what.c_str()));
        break;
    }
}

ProtocolEngine::FaultAnswer ProtocolEngine::faultAnswer(int command, Shape shape, const Frame *retry, TimePoint at) {
    const auto status = faults_.takeStatus(command);
    if (!status) return FaultAnswer::None;
    if (isBusy(*status)) {
        // ST2 stays 0x06: a host that checks ST2 first must still see a busy device.
        sendStatus(shape, *status, wire::kAck, at, "busy (fault)");
        if (retry) {
            pending_ = Pending::Frame;
            pendingFrame_ = *retry;
            pendingSince_ = at;
        }
        return FaultAnswer::Busy;
    }
    sendStatus(shape, *status, *status, at, "illegal status (fault)");
    return FaultAnswer::Illegal;
}

void ProtocolEngine::addFault(const Fault &fault, TimePoint now) {
    faults_.add(fault, frames_, dataBytes_);
    note(now, "fault armed: " + formatFault(fault));
    if ((fault.kind == FaultKind::Silence || fault.kind == FaultKind::Vanish) && fault.after == 0) applyFrameEffects(now);
}

void ProtocolEngine::applyFrameEffects(TimePoint at) {
    const auto e = faults_.afterFrame(frames_);
    if (e.silence) {
        silent_ = true;
        silentUntil_.reset();
        if (e.silenceMs) silentUntil_ = at + std::chrono::milliseconds(e.silenceMs);
        note(at, e.silenceMs ? fmt("silence for %u ms (fault)", e.silenceMs) : std::string("silence from now on (fault)"));
    }
    if (e.vanish) {
        vanish_ = true;
        note(at, "port vanishes (fault)");
    }
}

// ---------------------------------------------------------------------------
// Input

void ProtocolEngine::receive(uint8_t byte, TimePoint at) {
    if (vanish_) return;
    if (holding_) {
        backlog_.emplace_back(byte, at); // a slow erase keeps the device deaf until it is done
        return;
    }
    lastRx_ = at;
    switch (mode_) {
    case Mode::Command:
        pending_ = Pending::None; // the host wrote: it re-sends or moves on, it does not poll
        startFrame(byte, at);
        break;
    case Mode::Frame: {
        frame_.push_back(byte);
        const auto len = wire::frameLength(frame_.data(), frame_.size(), model_.config().addressForm);
        if (len && *len != 0 && frame_.size() >= *len) {
            mode_ = Mode::Command;
            handleFrame(wire::decodeFrame(frame_), at, false);
        }
        break;
    }
    case Mode::Reset:
        if (byte == wire::kResetSequence[resetIndex_]) {
            if (++resetIndex_ == sizeof wire::kResetSequence) {
                mode_ = Mode::Command;
                handleReset(at);
            }
        } else {
            note(at, fmt("reset handshake broken by %02X", byte));
            mode_ = Mode::Command;
            startFrame(byte, at);
        }
        break;
    case Mode::Discard:
        break;
    case Mode::ProgramData:
        programByte(byte, at);
        break;
    case Mode::VerifyData:
        pending_ = Pending::None; // the host re-sends the chunk
        verifyByte(byte, at);
        break;
    case Mode::SecurityByte:
        securityByte(byte, at, false);
        break;
    case Mode::SecurityRetry:
        pending_ = Pending::None;
        securityByte(byte, at, true);
        break;
    }
}

void ProtocolEngine::startFrame(uint8_t byte, TimePoint at) {
    if (byte == wire::kLineStart) {
        log_.add(at, Direction::HostToDevice, "line start", Bytes{byte});
        emit(Bytes{wire::kLineStartAnswer}, at, "line start answer");
        return;
    }
    if (byte == wire::kResetSequence[0]) {
        mode_ = Mode::Reset;
        resetIndex_ = 1;
        return;
    }
    frame_.assign(1, byte);
    if (!wire::frameLength(frame_.data(), 1, model_.config().addressForm)) {
        log_.add(at, Direction::HostToDevice, "unknown command: input dropped until the line is quiet", Bytes{byte});
        mode_ = Mode::Discard;
        return;
    }
    mode_ = Mode::Frame;
    modeSince_ = at;
}

void ProtocolEngine::handleReset(TimePoint at) {
    ++frames_;
    log_.add(at, Direction::HostToDevice, "reset handshake", Bytes(std::begin(wire::kResetSequence), std::end(wire::kResetSequence)),
             kResetCommand);
    // A new session: nothing from before carries over.
    pending_ = Pending::None;
    eraseCheckArmed_ = false;
    programRun_ = false;
    lastChunk_.reset();
    lastSecurityWrite_.reset();
    const auto status = faults_.takeStatus(kResetCommand);
    emit(wire::resetAnswer(status.value_or(wire::kResetReady)), at, status ? "reset answer (fault)" : "reset answer");
    applyFrameEffects(at);
}

void ProtocolEngine::handleFrame(const Frame &f, TimePoint at, bool repeated) {
    if (repeated) {
        note(at, "host is polling: fresh status for " + wire::describeFrame(f));
    } else {
        ++frames_;
        log_.add(at, Direction::HostToDevice, wire::describeFrame(f), f.raw, f.code);
    }
    const bool armed = std::exchange(eraseCheckArmed_, false);
    const bool pageFrame = (f.code == wire::kProgram || f.code == wire::kInternalVerify) && !f.securityForm();
    if (!pageFrame) programRun_ = false;
    pending_ = Pending::None;

    switch (f.code) {
    case wire::kSignature: doSignature(f, at); break;
    case wire::kVersion: doVersion(f, at); break;
    case wire::kChecksum: doChecksum(f, at); break;
    case wire::kChipErase:
    case wire::kBlockErase: doErase(f, at); break;
    case wire::kEraseCheck: doEraseCheckAfterErase(f, at); break;
    case wire::kBlankCheck: doBlankOrEraseCheck(f, at, armed && f.form == FrameForm::Unit); break;
    case wire::kProgram: f.securityForm() ? doSecurityStart(f, at) : doProgram(f, at); break;
    case wire::kInternalVerify: f.securityForm() ? doSecurityVerify(f, at) : doInternalVerify(f, at); break;
    case wire::kVerify: doVerify(f, at); break;
    default: sendStatus(Shape::Two, wire::kIllegal, wire::kIllegal, at, "unknown command"); break;
    }
    if (!repeated) applyFrameEffects(at);
}

// ---------------------------------------------------------------------------
// Identity

Bytes ProtocolEngine::signatureData() const {
    const SimConfig &c = model_.config();
    Bytes d(c.signatureId.begin(), c.signatureId.begin() + 3);
    if (c.addressForm) d.push_back(c.signatureId[3]); // address-form devices carry a fourth ID byte
    const uint32_t end = model_.size() - 1;
    d.push_back(end & 0x7F);
    d.push_back((end >> 7) & 0x7F);
    d.push_back((end >> 14) & 0x7F);
    std::string name = c.signatureName.substr(0, 10);
    name.resize(10, ' ');
    for (size_t i = 0; i < name.size(); ++i) {
        uint8_t ch = static_cast<uint8_t>(name[i]) & 0x7F;
        if (i == name.size() - 1) ch |= 0x80; // bit 7 marks the last name character
        d.push_back(ch);
    }
    if (!c.addressForm) d.push_back(static_cast<uint8_t>(model_.blockCount() & 0xFF));
    return d;
}

void ProtocolEngine::doSignature(const Frame &f, TimePoint at) {
    if (faultAnswer(f.code, Shape::One, &f, at) != FaultAnswer::None) return;
    sendStatus(Shape::One, wire::kAck, 0, at, "signature follows");
    const bool wrong = faults_.takeWrongEnd();
    emit(wire::dataFrame(signatureData(), wrong ? wire::kWrongFrameEnd : wire::kFrameEnd), at,
         wrong ? "signature data frame with a wrong end byte (fault)" : "signature data frame");
}

void ProtocolEngine::doVersion(const Frame &f, TimePoint at) {
    if (faultAnswer(f.code, Shape::One, &f, at) != FaultAnswer::None) return;
    const SimConfig &c = model_.config();
    sendStatus(Shape::One, wire::kAck, 0, at, "version follows");
    emit(wire::wordAnswer(c.versionMajor, bcd(c.versionMinor)), at,
         fmt("version %u.%02u", c.versionMajor, static_cast<unsigned>(c.versionMinor)));
}

// ---------------------------------------------------------------------------
// Checksum

std::optional<uint32_t> ProtocolEngine::checksumEnd(uint8_t pageByte) const {
    // Only the low 8 bits of the end page travel; the device takes the highest
    // page with that low byte, which is the right end for a whole-chip range.
    const uint32_t pages = (model_.size() + wire::kPageSize - 1) / wire::kPageSize;
    if (pageByte >= pages) return std::nullopt;
    uint32_t page = pageByte;
    while (page + 256 < pages) page += 256;
    return std::min(page * 256 + 255, model_.size() - 1);
}

void ProtocolEngine::doChecksum(const Frame &f, TimePoint at) {
    const auto end = unitOk(f) ? checksumEnd(f.unit) : std::nullopt;
    if (!end) {
        sendStatus(Shape::One, wire::kIllegal, 0, at, "checksum page outside the flash");
        return;
    }
    if (faultAnswer(f.code, Shape::One, &f, at) != FaultAnswer::None) return;
    const uint16_t sum = model_.checksumTo(*end);
    sendStatus(Shape::One, wire::kAck, 0, at, "checksum follows");
    emit(wire::wordAnswer(sum & 0xFF, sum >> 8), at, fmt("checksum 0x000000..0x%06X = 0x%04X", *end, sum));
}

// ---------------------------------------------------------------------------
// Erase, erase check, blank check

void ProtocolEngine::doErase(const Frame &f, TimePoint at) {
    const bool chip = f.code == wire::kChipErase;
    size_t first = 0, last = 0;
    bool ok = false;
    if (f.form == FrameForm::Unit) {
        ok = f.standardOptions() && f.unit < model_.blockCount();
        first = chip ? 0 : f.unit; // chip erase: unit = last block
        last = f.unit;
    } else {
        const auto a = model_.blockOf(f.start), b = model_.blockOf(f.end);
        ok = a && b && f.start <= f.end;
        if (ok) first = *a, last = *b;
    }
    if (!ok) {
        sendStatus(Shape::Two, wire::kIllegal, wire::kIllegal, at, "erase range outside the flash");
        return;
    }
    if (faultAnswer(f.code, Shape::Two, &f, at) != FaultAnswer::None) return;
    if (chip ? model_.chipEraseForbidden() : model_.blockEraseForbidden()) {
        sendStatus(Shape::Two, wire::kProtected, wire::kProtected, at,
                   chip ? "refused: chip erase disabled by security" : "refused: block erase disabled by security");
        return;
    }
    model_.eraseBlocks(first, last);
    eraseCheckArmed_ = true;
    lastEraseWholeChip_ = chip;
    if (const uint32_t ms = faults_.takeSlowEraseMs()) {
        holding_ = true;
        holdUntil_ = at + std::chrono::milliseconds(ms);
        note(at, fmt("slow erase: answer in %u ms (fault)", ms));
    }
    sendStatus(Shape::Two, wire::kAck, wire::kAck, at, fmt("erased blocks %zu..%zu", first, last));
}

void ProtocolEngine::doEraseCheckAfterErase(const Frame &f, TimePoint at) {
    if (!unitOk(f) || f.unit >= model_.blockCount()) {
        sendStatus(Shape::Two, wire::kIllegal, wire::kIllegal, at, "erase check block outside the flash");
        return;
    }
    if (faultAnswer(f.code, Shape::Two, &f, at) != FaultAnswer::None) return;
    const bool forced = faults_.takeNotErased();
    const bool erased = model_.blocksBlank(0, f.unit) && !forced;
    eraseCheckArmed_ = true; // the unit-form 0x32 that follows is the erase check of the chip
    lastEraseWholeChip_ = true;
    sendStatus(Shape::Two, wire::kAck, erased ? wire::kAck : wire::kNotErased, at,
               fmt("blocks 0..%u %s%s", f.unit, erased ? "erased" : "not erased", forced ? " (fault)" : ""));
}

void ProtocolEngine::doBlankOrEraseCheck(const Frame &f, TimePoint at, bool eraseCheck) {
    const size_t n = model_.blockCount();
    uint32_t start = 0, end = 0;
    bool ok = false;
    std::string what;
    if (f.form == FrameForm::Unit && f.standardOptions()) {
        // Unit 0x80 names the whole chip: always in the erase check after a
        // chip erase, otherwise only where it is not a block number.
        const bool wholeChip = f.unit == 0x80 && (eraseCheck ? lastEraseWholeChip_ : n <= 0x80);
        if (wholeChip) {
            start = 0, end = model_.size() - 1, ok = true;
            what = "whole chip";
        } else if (f.unit < n) {
            start = model_.block(f.unit).start, end = model_.block(f.unit).end, ok = true;
            what = fmt("block %u", f.unit);
        }
    } else if (f.form == FrameForm::Address) {
        ok = f.start <= f.end && f.end < model_.size();
        start = f.start, end = f.end;
        what = fmt("0x%06X..0x%06X", f.start, f.end);
    }
    if (!ok || (!eraseCheck && !model_.config().blankCheck)) {
        sendStatus(Shape::Two, wire::kIllegal, wire::kIllegal, at, ok ? "blank check not supported" : "check range outside the flash");
        return;
    }
    const auto fault = faultAnswer(f.code, Shape::Two, &f, at);
    if (fault == FaultAnswer::Busy) eraseCheckArmed_ = eraseCheck; // a re-sent or polled check keeps its meaning
    if (fault != FaultAnswer::None) return;
    if (eraseCheck) {
        // Erase check: ST1 accepts, ST2 says erased (0x06) or not (0x1A).
        const bool forced = faults_.takeNotErased();
        const bool erased = model_.blank(start, end) && !forced;
        sendStatus(Shape::Two, wire::kAck, erased ? wire::kAck : wire::kNotErased, at,
                   "erase check " + what + (erased ? ": erased" : ": not erased") + (forced ? " (fault)" : ""));
    } else {
        // Blank check: ST1 itself says blank (0x06) or not.
        const bool blank = model_.blank(start, end);
        const uint8_t st = blank ? wire::kAck : wire::kNotErased;
        sendStatus(Shape::Two, st, st, at, "blank check " + what + (blank ? ": blank" : ": not blank"));
    }
}

// ---------------------------------------------------------------------------
// Programming

void ProtocolEngine::doProgram(const Frame &f, TimePoint at) {
    if (!unitOk(f)) {
        sendStatus(Shape::One, wire::kIllegal, 0, at, "program frame with bad options");
        return;
    }
    if (faultAnswer(f.code, Shape::One, &f, at) != FaultAnswer::None) return;
    // The page byte holds address bits 8..15 only. The host programs pages in
    // order, so a run that goes on from page FF to page 00 has passed a 64 KiB
    // line. Any other jump (a new program after a failed or aborted one) starts
    // a new run in the first 64 KiB.
    uint32_t bank = 0;
    if (programRun_ && f.unit == lastPage_) bank = bank_;
    else if (programRun_ && f.unit == static_cast<uint8_t>(lastPage_ + 1)) bank = bank_ + (f.unit == 0 ? 1 : 0);
    const uint32_t address = bank * 0x10000 + uint32_t{f.unit} * wire::kPageSize;
    if (model_.programForbidden()) {
        sendStatus(Shape::One, wire::kProtected, 0, at, "refused: programming disabled by security");
        return;
    }
    if (address >= model_.size()) {
        sendStatus(Shape::One, wire::kIllegal, 0, at, fmt("page 0x%06X outside the flash", address));
        return;
    }
    programRun_ = true;
    bank_ = bank;
    lastPage_ = f.unit;
    sendStatus(Shape::One, wire::kAck, 0, at, fmt("ready for page 0x%06X", address));
    mode_ = Mode::ProgramData;
    modeSince_ = at;
    chunk_ = Chunk{address, {}};
    lastChunk_.reset();
}

void ProtocolEngine::programByte(uint8_t byte, TimePoint at) {
    const uint64_t index = dataBytes_++;
    const uint32_t address = chunk_.base + static_cast<uint32_t>(chunk_.data.size());
    std::optional<uint8_t> failure = faults_.takeAck(index);
    const bool scripted = failure.has_value();
    if (!failure && address >= model_.size()) failure = wire::kWriteFail;
    if (failure) {
        // The chunk is abandoned: no end-of-chunk byte follows a failed ack.
        emitQuiet(wire::byteAck(*failure));
        log_.add(at, Direction::HostToDevice,
                 fmt("program data 0x%06X: %zu bytes, then byte %02X refused with %02X%s", chunk_.base, chunk_.data.size(), byte,
                     *failure, scripted ? " (fault)" : " (outside the flash)"));
        mode_ = Mode::Command;
        return;
    }
    model_.program(address, byte);
    chunk_.data.push_back(byte);
    emitQuiet(wire::byteAck(wire::kAck));
    if (chunk_.data.size() == wire::kPageSize) endProgramChunk(at, "full page");
}

void ProtocolEngine::endProgramChunk(TimePoint at, const char *why) {
    log_.add(at, Direction::HostToDevice,
             fmt("program data 0x%06X..0x%06X: %zu bytes (%s)", chunk_.base,
                 chunk_.base + static_cast<uint32_t>(chunk_.data.size()) - 1, chunk_.data.size(), why));
    emit(Bytes{wire::kAck}, at, "end of chunk");
    lastChunk_ = std::move(chunk_);
    chunk_ = Chunk{};
    mode_ = Mode::Command;
}

void ProtocolEngine::doInternalVerify(const Frame &f, TimePoint at) {
    if (!unitOk(f)) {
        sendStatus(Shape::Two, wire::kIllegal, wire::kIllegal, at, "internal verify frame with bad options");
        return;
    }
    if (faultAnswer(f.code, Shape::Two, &f, at) != FaultAnswer::None) return;
    if (!lastChunk_ || ((lastChunk_->base >> 8) & 0xFF) != f.unit) {
        sendStatus(Shape::Two, wire::kIllegal, wire::kIllegal, at, "no page just written with this number");
        return;
    }
    std::optional<uint32_t> bad;
    for (size_t i = 0; i < lastChunk_->data.size() && !bad; ++i)
        if (model_.at(lastChunk_->base + static_cast<uint32_t>(i)) != lastChunk_->data[i]) bad = lastChunk_->base + static_cast<uint32_t>(i);
    sendStatus(Shape::Two, wire::kAck, bad ? wire::kInternalVerifyFail : wire::kAck, at,
               bad ? fmt("internal verify: cell 0x%06X could not take its value", *bad) : std::string("internal verify ok"));
}

// ---------------------------------------------------------------------------
// Security

void ProtocolEngine::doSecurityStart(const Frame &f, TimePoint at) {
    if (faultAnswer(f.code, Shape::One, &f, at) != FaultAnswer::None) return;
    sendStatus(Shape::One, wire::kAck, 0, at, "ready for the security byte");
    mode_ = Mode::SecurityByte;
    modeSince_ = at;
}

void ProtocolEngine::securityByte(uint8_t byte, TimePoint at, bool retry) {
    const uint64_t index = dataBytes_++;
    mode_ = Mode::Command;
    if (const auto failure = faults_.takeAck(index)) {
        emitQuiet(wire::byteAck(*failure));
        log_.add(at, Direction::HostToDevice, fmt("security byte %02X refused with %02X (fault)", byte, *failure), Bytes{byte});
        return;
    }
    const uint8_t before = model_.securityByte();
    model_.writeSecurity(byte);
    lastSecurityWrite_ = byte;
    log_.add(at, Direction::HostToDevice, fmt("security byte %02X: stored %02X%s", byte, model_.securityByte(), retry ? " (re-sent)" : ""),
             Bytes{byte});
    if (model_.securityByte() != before && securityListener_) securityListener_(model_.securityByte());
    emitQuiet(wire::byteAck(wire::kAck));
    if (!retry) {
        emit(Bytes{wire::kAck}, at, "end of security data");
        return;
    }
    // A re-sent security byte (after a busy internal verify) is answered with
    // the internal-verify status straight away: the host reads it next.
    Frame verify = pendingFrame_;
    doSecurityVerify(verify, at);
}

void ProtocolEngine::doSecurityVerify(const Frame &f, TimePoint at) {
    if (faultAnswer(f.code, Shape::Two, nullptr, at) == FaultAnswer::Busy) {
        // The host either polls (we repeat after the gap) or re-sends the security byte.
        mode_ = Mode::SecurityRetry;
        pendingFrame_ = f;
        pendingSince_ = at;
        return;
    }
    if (mode_ == Mode::SecurityRetry) mode_ = Mode::Command;
    if (!lastSecurityWrite_) {
        sendStatus(Shape::Two, wire::kIllegal, wire::kIllegal, at, "no security byte written");
        return;
    }
    // Flags can only be added: asking to clear one leaves the stored byte different.
    const bool ok = model_.securityByte() == *lastSecurityWrite_;
    sendStatus(Shape::Two, wire::kAck, ok ? wire::kAck : wire::kInternalVerifyFail, at,
               ok ? fmt("security byte %02X verified", model_.securityByte())
                  : fmt("security byte holds %02X, not %02X", model_.securityByte(), *lastSecurityWrite_));
}

// ---------------------------------------------------------------------------
// Verify

void ProtocolEngine::doVerify(const Frame &f, TimePoint at) {
    const Shape shape = model_.config().verifyStatusFrame ? Shape::StatusFrame : Shape::One;
    if (f.start > f.end || f.end >= model_.size()) {
        sendStatus(shape, wire::kIllegal, wire::kIllegal, at, "verify range outside the flash");
        return;
    }
    if (faultAnswer(f.code, shape, &f, at) != FaultAnswer::None) return;
    sendStatus(shape, wire::kAck, wire::kAck, at, "ready for verify data");
    mode_ = Mode::VerifyData;
    vCur_ = f.start;
    vEnd_ = f.end;
    beginVerifyChunk(at);
}

void ProtocolEngine::beginVerifyChunk(TimePoint at) {
    vChunkStart_ = vCur_;
    vCount_ = 0;
    vMismatch_ = false;
    vFirstMismatch_.reset();
    vExpected_ = std::min<size_t>(wire::kPageSize, size_t{vEnd_} - vCur_ + 1);
    modeSince_ = at;
}

void ProtocolEngine::verifyByte(uint8_t byte, TimePoint at) {
    const uint64_t index = dataBytes_++;
    if (const auto failure = faults_.takeAck(index)) {
        emitQuiet(wire::byteAck(*failure));
        log_.add(at, Direction::HostToDevice, fmt("verify data 0x%06X refused with %02X (fault)", vCur_, *failure));
        mode_ = Mode::Command;
        return;
    }
    if (vCur_ > vEnd_ || model_.at(vCur_) != byte) {
        if (!vMismatch_) vFirstMismatch_ = vCur_;
        vMismatch_ = true;
    }
    ++vCur_;
    ++vCount_;
    emitQuiet(wire::byteAck(wire::kAck));
    if (vCount_ == vExpected_) endVerifyChunk(at, false);
}

void ProtocolEngine::endVerifyChunk(TimePoint at, bool byGap, bool polled) {
    if (!polled)
        log_.add(at, Direction::HostToDevice,
                 fmt("verify data 0x%06X..0x%06X: %zu bytes%s", vChunkStart_, vCur_ - 1, vCount_, byGap ? " (ended by idle gap)" : ""));
    const auto fault = faultAnswer(wire::kVerify, Shape::Two, nullptr, at);
    if (fault == FaultAnswer::Busy) {
        // Remember the verdict; the host polls for it or re-sends the same chunk.
        vDone_ = DoneChunk{vCur_, vCount_, vMismatch_, byGap};
        vCur_ = vChunkStart_;
        vCount_ = 0;
        vMismatch_ = false;
        vDoneFirstMismatch_ = std::exchange(vFirstMismatch_, std::nullopt);
        pending_ = Pending::VerifyChunk;
        pendingSince_ = at;
        return;
    }
    if (fault == FaultAnswer::Illegal) {
        mode_ = Mode::Command;
        return;
    }
    const std::string what = vMismatch_ ? fmt("mismatch at 0x%06X", vFirstMismatch_.value_or(vChunkStart_)) : std::string("data matches");
    sendStatus(Shape::Two, wire::kAck, vMismatch_ ? wire::kVerifyMismatch : wire::kAck, at, what);
    // A chunk shorter than expected can only be the host's last one; a
    // mismatch ends the host's verify too.
    if (vMismatch_ || byGap || vCur_ > vEnd_) {
        mode_ = Mode::Command;
        note(at, "verify ended");
    } else {
        beginVerifyChunk(at);
    }
}

// ---------------------------------------------------------------------------
// Time

std::optional<ProtocolEngine::TimePoint> ProtocolEngine::modeDeadline() const {
    const auto since = [this](TimePoint t) { return std::max(t, drainedAt_); };
    switch (mode_) {
    case Mode::Frame:
    case Mode::Discard:
        return idleSince() + timing_.chunkGap;
    case Mode::Reset:
        return lastRx_ + timing_.chunkGap;
    case Mode::ProgramData:
        return chunk_.data.empty() ? since(modeSince_) + timing_.staleWait : idleSince() + timing_.chunkGap;
    case Mode::VerifyData:
        if (vCount_ > 0) return idleSince() + timing_.chunkGap;
        if (pending_ == Pending::VerifyChunk) return since(pendingSince_) + timing_.repeatGap;
        return std::nullopt; // between chunks the host may wait as long as its parameters say
    case Mode::SecurityByte:
        return since(modeSince_) + timing_.staleWait;
    case Mode::SecurityRetry:
        return since(pendingSince_) + timing_.repeatGap;
    case Mode::Command:
        if (pending_ == Pending::Frame) return since(pendingSince_) + timing_.repeatGap;
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<ProtocolEngine::TimePoint> ProtocolEngine::nextDeadline() const {
    if (vanish_) return std::nullopt;
    std::optional<TimePoint> d;
    if (silent_ && silentUntil_) d = *silentUntil_;
    const auto m = holding_ ? std::optional<TimePoint>(holdUntil_) : modeDeadline();
    if (m && (!d || *m < *d)) d = m;
    return d;
}

void ProtocolEngine::tick(TimePoint now) {
    if (vanish_) return;
    if (silent_ && silentUntil_ && now >= *silentUntil_) {
        silent_ = false;
        silentUntil_.reset();
        note(now, "silence over: answering again");
    }
    if (holding_) {
        if (now < holdUntil_) return;
        holding_ = false;
        out_.insert(out_.end(), held_.begin(), held_.end());
        held_.clear();
        note(now, "slow erase done");
        auto backlog = std::exchange(backlog_, {});
        for (const auto &[byte, t] : backlog) receive(byte, std::max(t, holdUntil_));
        if (holding_) return;
    }
    const auto deadline = modeDeadline();
    if (!deadline || now < *deadline) return;
    switch (mode_) {
    case Mode::Frame:
        note(now, "incomplete frame dropped: " + wire::hex(frame_));
        mode_ = Mode::Command;
        sendStatus(Shape::Two, wire::kIllegal, wire::kIllegal, now, "incomplete frame");
        break;
    case Mode::Discard:
        mode_ = Mode::Command;
        sendStatus(Shape::Two, wire::kIllegal, wire::kIllegal, now, "unknown command");
        break;
    case Mode::Reset:
        note(now, "incomplete reset handshake dropped");
        mode_ = Mode::Command;
        break;
    case Mode::ProgramData:
        if (chunk_.data.empty()) {
            note(now, "no data after the program frame: page abandoned");
            mode_ = Mode::Command;
        } else {
            endProgramChunk(now, "ended by idle gap");
        }
        break;
    case Mode::VerifyData:
        if (vCount_ > 0) {
            endVerifyChunk(now, true);
        } else {
            // The host is polling for the verdict of the chunk it sent.
            note(now, "host is polling: fresh status for the verify chunk");
            pending_ = Pending::None;
            vCur_ = vDone_.next;
            vCount_ = vDone_.count;
            vMismatch_ = vDone_.mismatch;
            vFirstMismatch_ = vDoneFirstMismatch_;
            endVerifyChunk(now, vDone_.byGap, true);
        }
        break;
    case Mode::SecurityByte:
        note(now, "no security byte after the security frame: write abandoned");
        mode_ = Mode::Command;
        break;
    case Mode::SecurityRetry: {
        note(now, "host is polling: fresh status for the security internal verify");
        mode_ = Mode::Command;
        const Frame f = pendingFrame_;
        doSecurityVerify(f, now);
        break;
    }
    case Mode::Command: {
        pending_ = Pending::None;
        const Frame f = pendingFrame_;
        handleFrame(f, now, true);
        break;
    }
    }
}

}  // namespace quillsim
