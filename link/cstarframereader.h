#ifndef CSTARFRAMEREADER_H
#define CSTARFRAMEREADER_H

#include "cstarprotocol.h"

#include <QByteArray>

// The receive side of a line: turns the bytes that come in into frames. A start byte always
// begins a new frame, so bytes before it are dropped; an end byte ends the frame, which is
// decoded in the codec's receive buffer and, when valid, handed on.
//
// It also recognises the line's echo. Some USB to RS-485 adapters hear their own transmitter
// and send every frame back byte for byte, ahead of the device's answer; some only start
// doing so after a frame or two. A read's echo is a valid frame with the request's code and an
// empty payload, a command's echo is identical to its confirmation, so neither may pass for an
// answer. Whether the line echoes is judged from evidence for as long as it is open:
// - A frame identical to a read's request can only be its echo (the answer carries the
//   value): it is dropped, and the line is taken to echo from then on.
// - Of a write or command, the first identical copy received is dropped unless the line is
//   known not to echo; on an echoing line a command's confirmation is then the second copy.
// - An exchange whose answer differs from the request (reads and writes) shows, once the next
//   frame is sent, whether a copy of the request came back: a copy means an echoing line,
//   none a plain one. Until such evidence the line is taken to echo. A line known to echo
//   is taken for a plain one only on two such exchanges in a row, so one echo lost to noise
//   does not flip it; a read's echo makes it an echoing one at once.
class cStarFrameReader
{
public:
    enum Echo { EchoUnknown, EchoYes, EchoNo };

    explicit cStarFrameReader(cAbstractStarProtocol *codec);

    // Takes one byte from the line. True when it completed a valid frame to deliver: its head
    // is head() and its payload stands at the start of the codec's buffer() until the next byte.
    bool takeByte(quint8 byte);
    StarHead_t head() const { return m_head; }

    // The frame just written to the line, as encoded, with its address and command; `isRead`
    // when its answer carries a value (see above).
    void frameSent(quint8 address, quint8 command, const quint8 *frame, int length,
                   bool isRead = false);
    // A newly opened line: no frame collected, nothing sent, its echo not known yet.
    void reset();

    Echo echo() const { return m_echo; }
    // Known now, or known when the next frame is sent (an answer that differed came).
    bool isEchoSettled() const { return m_echo != EchoUnknown || m_differingAnswer; }
    int echoesDropped() const { return m_echoesDropped; }

private:
    void learn(Echo evidence);

    cAbstractStarProtocol *m_codec;
    StarHead_t m_head = {0, 0, 0};

    QByteArray m_sent; // the frame last sent, empty when none since the reset
    quint8 m_sentAddress = 0;
    quint8 m_sentCommand = 0;
    bool m_sentIsRead = false;
    bool m_copySeen = false; // a byte-identical copy of it came back since it was sent
    bool m_echoDropped = false; // and was dropped as its echo
    bool m_differingAnswer = false; // an answer with its code but other bytes came

    Echo m_echo = EchoUnknown;
    int m_contrary = 0; // answers in a row that contradict m_echo
    int m_echoesDropped = 0;
};

#endif // CSTARFRAMEREADER_H
