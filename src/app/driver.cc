#include "app/driver.h"

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>

#include "app/decoder_cli.h"
#include "app/info_mode.h"
#include "app/log_reader_cli.h"
#include "app/progress.h"
#include "app/run_counts.h"
#include "app/run_summary.h"
#include "app/transport_config.h"
#include "app/worker_pool.h"
#include "base/exit_status.h"
#include "base/interrupt.h"
#include "bus/bus_layer_mux.h"
#include "bus/bus_layer_tp.h"
#include "fs/fs_lock.h"
#include "input/log_reader.h"
#include "output/decoder.h"
#include "output/output_journals.h"

namespace {

// The line between the sections of the statistics block: 79 hyphen-minus.
void printSeparatorLine() {
  std::fputs("-------------------------------------------------------------------------------\n",
             stdout);
}

void printStatistics(const cRunCounts& c, uint32_t seconds) {
  printSeparatorLine();
  std::printf("Reader statistics\n- Files: %" PRIu64 "\n- Messages: %" PRIu64
              "\n- Size: %" PRIu64 " MB\n",
              c.files, c.messages, c.bytes >> 20);
  printSeparatorLine();
  std::printf("Transport protocol statistics\n- Successful sessions: %" PRIu64
              "\n- Failed sessions: %" PRIu64 "\n- Unfinished sessions: %" PRIu64 "\n",
              c.tpSuccessful, c.tpFailed, c.tpUnfinished);
  printSeparatorLine();
  std::printf("Writer statistics\n- Files: %" PRIu64 "\n- Messages: %" PRIu64
              "\n- Signals: %" PRIu64 "\n",
              c.writerFiles, c.writerMessages, c.writerSignals);
  printSeparatorLine();
  std::printf("Execution time: %u s\n", seconds);
  printSeparatorLine();
  std::fflush(stdout);
}

cRunCounts countsOf(const cLogReader& reader, cBusLayerTp& tp, const cDecoder& decoder) {
  const cBusLayerTpStatistics& t = tp.getStatistics();
  const cDecoderStatistics& w = decoder.getStatistics();
  return {reader.files(), reader.messages(), reader.bytes(), t.successful, t.failed,
          t.unfinished,   w.files,           w.messages,     w.signals};
}

void printSummary(const cRunReport& report, const cLogReaderCLI& cli) {
  std::fputs(cRunSummary_text(report, cli).c_str(), stdout);
  std::fflush(stdout);
}

uint32_t secondsSince(std::clock_t start) {
  return static_cast<uint32_t>((std::clock() - start) / CLOCKS_PER_SEC);
}

// The exit status of a run that converted: an interrupted one says so.
int32_t finishRun(bool interrupted, int32_t status) {
  if (!interrupted) return status;
  std::puts("Interrupted: the unfinished input was rolled back; run the same command again to"
            " convert the rest");
  std::fflush(stdout);
  return kExitInterrupted;
}

// Several workers or a shard of the work (app/worker_pool.h).
int32_t convertInParallel(const cLogReaderCLI& cli) {
  const std::clock_t start = std::clock();
  const cPoolRun run = cWorkerPool_convert(cli);
  if (!run.started) return run.status;
  printStatistics(run.counts, secondsSince(start));
  printSummary(run.report, cli);
  return finishRun(run.interrupted, run.status);
}

}  // namespace

int lograven_main(int argc, char** argv) {
  // A write past the file-size limit (ulimit -f) fails with EFBIG and is
  // reported like a full disk, instead of the signal ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  int32_t status = kExitOk;
  std::unique_ptr<cLogReaderCLI> cli = cDecoderCLI_ctor();
  if (!cli) return status;
  if (!cli->parse(argc, argv, &status)) {
    std::fflush(stdout);
    return status;
  }
  if (cli->info) return cInfoMode_run(*cli);
  if (cli->jobs > 1 || cli->shard.sharded()) return convertInParallel(*cli);

  // The layers and the reader borrow the file systems, options and databases
  // of the command-line object, so they are all released before it: the
  // locals below are destroyed in reverse order of declaration (reader, TP,
  // MUX, decoder), then `cli`.
  cDecoderOptions decoderOptions;
  decoderOptions.noAppendRoot = cli->options.noAppendRoot;
  decoderOptions.concat = cli->concat;
  decoderOptions.pgnSrcMerge = cli->pgnSrcMerge;
  decoderOptions.pgnDstMerge = cli->pgnDstMerge;
  std::unique_ptr<cDecoder> decoder =
      cDecoder_ctor(cli->outputFs(), &cli->canDatabases, &cli->linDatabases, decoderOptions);
  if (!decoder) return status;
  std::unique_ptr<cBusLayerMux> mux = cBusLayerMux_ctor(decoder.get(), nullptr);
  if (!mux) return status;
  std::unique_ptr<cBusLayerTp> tp = cBusLayerTp_ctor(mux.get());
  if (!tp) return status;
  // Frames unpacked from a carrier message go back into the TP layer, so that
  // tunnelled transport-protocol traffic is reassembled too.
  if (!mux->setPhyLayer(tp.get())) return status;

  const bool tpNeeded = configureTransportLayers(cli->canDatabases, *tp, *mux);
  cBusLayer* head = tpNeeded ? static_cast<cBusLayer*>(tp.get()) : decoder.get();

  std::unique_ptr<cLogReader> reader =
      cLogReader_ctor(cli->inputFs(), &cli->options, head, decoder.get());
  if (!reader) return status;
  // Also the journals of an earlier run with several workers.
  std::unique_ptr<cFSLock> lock;
  if (!cOutputJournals_lock(*cli->outputFs(), 0, 1, &lock) ||
      !cOutputJournals_recover(*cli->outputFs(), 0, 1))
    return kExitConversion;

  cInterrupt_install();
  // The progress line on a terminal; it is destroyed (erased) before the reader.
  std::unique_ptr<cProgress> progress;
  if (cProgress_wanted(cli->options.nonInteractive)) {
    const cDecoder& rows = *decoder;
    progress = std::make_unique<cProgress>(2, reader->survey(cli->inputs), [&rows] {
      return rows.getStatistics().messages + rows.pendingRows();
    });
    reader->setObserver(progress.get());
  }
  const std::clock_t start = std::clock();
  status = reader->process(cli->inputs) | cli->startStatus;
  // Output files are flushed and closed here, so that a write error (a full
  // disk) still reaches the exit status.
  if (!decoder->closeWriters() || decoder->hadWriteError()) status |= kExitConversion;
  if (progress) progress->erase();
  printStatistics(countsOf(*reader, *tp, *decoder), secondsSince(start));
  cRunReport report;
  report.add(*reader, decoder->tally());
  printSummary(report, *cli);
  return finishRun(reader->interrupted(), status);
}
