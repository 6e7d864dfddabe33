// Where the time of one Detect went, in microseconds of the detector's clock.
// Detect keeps the phases of its last accepted call from the clock readings it
// takes anyway, so that a benchmark can read them from a detector built into its
// own process; the detector itself never looks at them.
#pragma once

#include <stdint.h>

// The send loop over the candidates.
struct SendPhases {
    uint64_t qwSendUs;     // inside the sends, the request's making and lines included
    uint64_t qwBetweenUs;  // between the sends: looks at the socket, takes, waits
    uint32_t nSends;
    uint32_t nLooks;       // gaps between two sends in which the socket was looked at
    uint32_t nTaken;       // datagrams taken off the socket during the loop
    // The socket calls besides the sends: asking whether a datagram waits, and
    // receives (those that found nothing included). Under Wine each is a round
    // trip to Wine's server, as a send is, so their counts weigh the time
    // between the sends independently of the machine's load.
    uint32_t nLookCalls;
    uint32_t nReceiveCalls;
};

struct DetectPhases {
    uint32_t nCandidates;
    uint64_t qwFillUs;     // the candidate list emptied and filled
    uint64_t qwPrintUs;    // the list print
    uint64_t qwReserveUs;  // room in the reply queue
    uint64_t qwTimerUs;    // the end timer started before the sends and anew after them
    SendPhases sends;
    uint64_t qwTotalUs;    // from the first of these phases to the last
};
