#include "StationProtocol.h"

#include "channel/Channel.h"
#include "channel/FrameTrace.h"
#include "config/StationData.h"
#include "driver/ChannelManager.h"
#include "driver/HostLink.h"
#include "driver_texts.h"
#include "platform/CString.h"
#include "platform/Tick.h"
#include "protocol/ReplyDecoder.h"
#include "protocol/TagTable.h"

CStationProtocol::CStationProtocol() = default;

CStationProtocol::~CStationProtocol() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_requests.clear();
    m_nQueued = 0;
}

void CStationProtocol::Bind(CStationData* station) {
    // The links are the same at every start after the first (at open), and
    // host threads read them meanwhile: they are written only when they change.
    if (m_pStation != station) m_pStation = station;
    if (m_pChannel != station->GetChannel()) m_pChannel = station->GetChannel();
    if (m_pTagTable != &station->GetTagTable()) m_pTagTable = &station->GetTagTable();
    m_nFailCount = 0;
}

int CStationProtocol::Retries() const {
    return m_pChannel->GetRunRetries();
}

void CStationProtocol::Poll() {
    m_pStation->CountPoll();
    char frame[kFrameSize];
    BuildFrame(m_pStation->GetStationNo(), 0x00, frame);
    if (!SendFrame(frame)) {
        m_pStation->LogFault(txt::TXT_SEND_POLL_FAILED);
    } else if (Receive()) {
        m_nFailCount = 0;
        m_pStation->ClearCommError();
        return;
    }
    // a failed poll is not repeated within the visit: the next due poll is the next try
    if (++m_nFailCount > Retries()) {
        m_nFailCount = 0;
        m_pStation->CountPollFailure();
    }
}

int CStationProtocol::ServeControl() {
    if (m_nQueued == 0) return 0;
    std::unique_ptr<CControlRequest> request;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_requests.empty()) return 0;
        request = std::move(m_requests.front());
        m_requests.pop_front();
        --m_nQueued;
    }
    CBitTag* tag = m_pTagTable->GetTag(request->m_nTagIndex);
    if (!tag) return 0;

    CString name;
    if (CDbmLink* db = TheDbmLink()) db->GetTagName(tag->GetHostTag(), &name);
    m_pStation->LogInfo(StrFormat(txt::TXT_CONTROL_START, name.GetString()).c_str());
    m_pStation->CountControl();

    const int retries = Retries();
    char frame[kFrameSize];
    BuildFrame(m_pStation->GetStationNo(), static_cast<uint8_t>(1u << (tag->GetBit() & 7)), frame);
    for (int attempt = 0; attempt <= retries; ++attempt) {
        if (!SendFrame(frame)) {
            m_pStation->LogFault(txt::TXT_SEND_CONTROL_FAILED);
            ++m_nFailCount;
            break;
        }
        if (Receive()) {
            m_pStation->LogInfo(txt::TXT_CONTROL_OK);
            m_nFailCount = 0;
            m_pStation->ClearCommError();
            break;
        }
        // the last attempt's failure is neither logged nor counted here
        if (attempt + 1 <= retries) {
            m_pStation->LogFault(txt::TXT_CONTROL_RETRY);
            ++m_nFailCount;
        }
    }
    if (m_nFailCount > retries) {
        m_pStation->CountControlFailure();
        m_nFailCount = 0;
    }
    return 1;
}

int CStationProtocol::SendFrame(const char frame[kFrameSize]) {
    if (CFrameTrace* trace = m_pChannel->GetTrace())
        trace->Sent(frame, kFrameSize, m_pChannel->GetLine().PendingInput());
    return m_pChannel->Send(frame, kFrameSize);
}

int CStationProtocol::Receive() {
    const uint32_t timeout = static_cast<uint32_t>(m_pChannel->GetRunTimeout());
    CReplyDecoder decoder(m_pStation->GetStationNo());
    CFrameTrace* const trace = m_pChannel->GetTrace();
    if (trace) trace->BeginReply(m_pStation->GetStationNo());
    const uint32_t start = GetTickMs();
    for (;;) {
        const uint32_t elapsed = GetTickMs() - start;
        if (elapsed >= timeout) {
            if (trace) trace->TimedOut(elapsed);
            return 0;
        }
        char byte;
        int status = 0;
        if (!m_pChannel->ReceiveByte(&byte, &status)) {
            if (trace) {
                if (status < 0)
                    trace->ReadFailed(status, GetTickMs() - start);
                else
                    trace->TimedOut(GetTickMs() - start);
            }
            m_pStation->LogFault(status < 0 ? txt::TXT_RECEIVE_ERROR : txt::TXT_RECEIVE_TIMEOUT);
            SleepMs(0);
            return 0;
        }
        const int before = trace ? decoder.GetState() : 0;
        const CReplyDecoder::Result result = decoder.Feed(static_cast<uint8_t>(byte));
        if (trace) trace->Received(static_cast<uint8_t>(byte), before, result, decoder.GetStatusByte());
        switch (result) {
            case CReplyDecoder::complete:
                m_pTagTable->UpdateInputs(decoder.GetStatusByte());
                return 1;
            case CReplyDecoder::checkError:
                m_pStation->LogFault(txt::TXT_CHECKSUM_ERROR);
                break;
            case CReplyDecoder::otherStation:  // another station's reply: dropped without a word
            case CReplyDecoder::needMore:
                break;
        }
    }
}

int CStationProtocol::QueueControl(int tagIndex, const CTagVal& value) {
    CBitTag* tag = m_pStation ? m_pStation->GetTagTable().GetTag(tagIndex) : nullptr;
    if (!tag) return -1;
    if (!tag->IsOutput()) {
        m_pStation->LogFault(txt::TXT_NOT_WRITABLE);
        return -1;
    }
    auto request = std::make_unique<CControlRequest>(tagIndex, value);
    std::lock_guard<std::mutex> hold(m_lock);
    m_requests.push_back(std::move(request));
    ++m_nQueued;
    return 0;
}

int CStationProtocol::IsWriteDone(int tagIndex) {
    std::lock_guard<std::mutex> hold(m_lock);
    for (const auto& r : m_requests) {
        if (r->m_nTagIndex == tagIndex) return 0;
    }
    return 1;
}
