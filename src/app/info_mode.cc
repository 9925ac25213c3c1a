#include "app/info_mode.h"

#include <cstdio>
#include <memory>
#include <string>

#include "app/info_print.h"
#include "app/info_tally.h"
#include "app/log_reader_cli.h"
#include "app/transport_config.h"
#include "base/exit_status.h"
#include "bus/bus_layer_mux.h"
#include "bus/bus_layer_tp.h"
#include "input/log_reader.h"

int32_t cInfoMode_run(cLogReaderCLI& cli) {
  cli.options.deleteConverted = false;  // looking at a file never removes it
  const bool databases = !cli.canDatabases.empty() || !cli.linDatabases.empty();
  const cFS* fs = cli.inputFs();
  bool first = true;
  auto print = [&](const cInfoFileReport& report) {
    std::string full;
    fs->relativeToAbsolutePath(report.path, &full);
    if (cli.json) {
      std::puts(cInfo_json(report, full).c_str());
    } else {
      if (!first) std::fputc('\n', stdout);
      std::fputs(cInfo_text(report, full, databases).c_str(), stdout);
    }
    first = false;
    std::fflush(stdout);
  };

  // The chain of a conversion with the tally in place of the decoder: frames
  // are counted at the head, messages looked up at the tail once the
  // transport protocols have reassembled them.
  cInfoTally tally(&cli.canDatabases, &cli.linDatabases, print);
  std::unique_ptr<cBusLayerMux> mux = cBusLayerMux_ctor(tally.tail(), nullptr);
  std::unique_ptr<cBusLayerTp> tp = mux ? cBusLayerTp_ctor(mux.get()) : nullptr;
  if (!tp || !mux->setPhyLayer(tp.get())) return kExitConversion;
  const bool tpNeeded = configureTransportLayers(cli.canDatabases, *tp, *mux);
  tally.setNext(tpNeeded ? static_cast<cBusLayer*>(tp.get()) : tally.tail());

  std::unique_ptr<cLogReader> reader = cLogReader_ctor(cli.inputFs(), &cli.options, &tally, &tally);
  if (!reader) return kExitConversion;
  return reader->process(cli.inputs) | cli.startStatus;
}
