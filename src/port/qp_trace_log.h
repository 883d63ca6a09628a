#pragma once
// The two diagnostic records a port keeps: the trace of every byte sent and received
// (TQpTrace, "QPORT.TRC") and the dispatch log of the dispatcher's internal events
// (TQpDispatchLog, "QPORT.LOG").
#include <cstdint>

#include "port/qp_dispatch_log.h"
#include "port/qp_trace.h"

namespace quodra::port {

// Values of the port's Tracing and Logging properties, in this order.
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

}  // namespace quodra::port
