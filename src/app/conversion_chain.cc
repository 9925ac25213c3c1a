#include "app/conversion_chain.h"

#include "app/transport_config.h"

std::unique_ptr<cConversionChain> cConversionChain_ctor(const cLogReaderCLI& cli,
                                                        const cDecoderOptions& decoderOptions,
                                                        const cLogReaderOptions& readerOptions) {
  auto chain = std::make_unique<cConversionChain>();
  chain->options = readerOptions;
  chain->decoder =
      cDecoder_ctor(cli.outputFs(), &cli.canDatabases, &cli.linDatabases, decoderOptions);
  if (!chain->decoder) return nullptr;
  chain->mux = cBusLayerMux_ctor(chain->decoder.get(), nullptr);
  if (!chain->mux) return nullptr;
  chain->tp = cBusLayerTp_ctor(chain->mux.get());
  // Frames unpacked from a carrier message go back into the TP layer.
  if (!chain->tp || !chain->mux->setPhyLayer(chain->tp.get())) return nullptr;
  const bool tpNeeded = configureTransportLayers(cli.canDatabases, *chain->tp, *chain->mux);
  cBusLayer* head = tpNeeded ? static_cast<cBusLayer*>(chain->tp.get()) : chain->decoder.get();
  chain->reader =
      cLogReader_ctor(cli.inputFs(), &chain->options, head, chain->decoder.get());
  if (!chain->reader) return nullptr;
  return chain;
}
