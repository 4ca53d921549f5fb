// What opening a reader takes for either library: an instance of its own,
// its exports, the embedded simulator or the port path, the session.
#pragma once

#include <memory>
#include <string>

#include "pcsc/device_name.h"
#include "pcsc/library.h"
#include "pcsc/reader.h"

namespace kdx::ifd {

struct ReaderTraits {
  const char* library;       // "libvelmor"
  const char* title;         // "Velmor", in messages
  const char* default_card;  // of the simulated slot
};

// Api: the export table, filled by bind_api; Sim: the simulated slot with
// its port; ReaderType: built from the instance, the table and the
// simulator and the name, with open_session(). Both libraries use port index 0 (a
// session of its own per instance) and 0 for success.
template <typename ReaderType, typename Sim, typename Api>
std::unique_ptr<Reader> open_reader_of(const DeviceName& name, const ReaderTraits& traits,
                                       bool (*bind_api)(Api&, const LibraryInstance&, std::string&),
                                       RESPONSECODE& result, std::string& error) {
  constexpr uint32_t kPortIndex = 0;
  result = IFD_COMMUNICATION_ERROR;
  auto library = LibraryInstance::acquire(traits.library, error);
  if (!library) return nullptr;
  Api api;
  std::string missing;
  if (!bind_api(api, *library, missing)) {
    error = std::string("the ") + traits.title + " library has no export " + missing;
    return nullptr;
  }
  std::unique_ptr<Sim> sim;
  if (name.simulated) {
    sim = std::make_unique<Sim>();
    if (!sim->insert(name.card.empty() ? traits.default_card : name.card)) {
      error = "no sample card \"" + name.card + "\" for the simulated " + traits.title + " reader";
      result = IFD_NO_SUCH_DEVICE;
      return nullptr;
    }
    if (api.KDX_SetPortBackend(kPortIndex, &sim->port.backend()) != 0) {
      error = "the simulated port was refused";
      return nullptr;
    }
  } else if (api.KDX_SetPortDevice(kPortIndex, name.port.c_str()) != 0) {
    error = "the port path was refused";
    result = IFD_NO_SUCH_DEVICE;
    return nullptr;
  }
  auto reader = std::make_unique<ReaderType>(std::move(library), api, std::move(sim), name);
  result = reader->open_session(error);
  if (result != IFD_SUCCESS) return nullptr;
  return reader;
}

}  // namespace kdx::ifd
