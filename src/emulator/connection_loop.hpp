#pragma once

#include <httplib.h>

#include <memory>

namespace tolmi_gcp::emulator {

// An httplib server whose connection loop buffers reads and sends each answer in one write, which
// halves the time of a sequential client's request. The loop leans on httplib's internals, so it
// is used only with the httplib version it was written against; any other version gets the
// stock server, slower but sound.
std::unique_ptr<httplib::Server> makeHttpServer();

// Whether makeHttpServer() gives the buffered loop with this build's httplib.
bool bufferedConnectionLoop();

}  // namespace tolmi_gcp::emulator
