#pragma once

#include <httplib.h>

#include <memory>

namespace tolmi_gcp::emulator {

// An httplib server that serves any number of kept-alive connections: one thread waits on every
// connection until it has sent a whole request, which a worker thread then answers, so that idle
// and half-sent connections hold no worker; answers go out in one write. A request not whole
// within its time is answered 408, a head past its cap 431. The loop leans on httplib's
// internals, so it is used only with the httplib version it was written against; any other
// version gets the stock server, whose fixed pool of threads many idle connections exhaust.
std::unique_ptr<httplib::Server> makeHttpServer();

}  // namespace tolmi_gcp::emulator
