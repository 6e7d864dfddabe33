// The detector over loopback against the literal reader, in the same run: the
// fidelity of round-trip times, and how many replies of a burst reach the sink.
#pragma once

void RunNetworkBench(bool quick);
