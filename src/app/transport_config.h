// Registration of the transport-protocol and multiplexed-transport messages
// of the CAN-side databases with their layers.
#pragma once

#include "bus/bus_layer_mux.h"
#include "bus/bus_layer_tp.h"
#include "db/db.h"

// Registers every message with a transport type (and, per J1939 database, the
// J1939 connection-management group) with `tp`, and every MUXTP message with
// `mux`.  Returns true when the transport-protocol layer is needed at the head
// of the chain.  Failures are logged and skipped.
bool configureTransportLayers(const cDBMap& canDatabases, cBusLayerTp& tp, cBusLayerMux& mux);
