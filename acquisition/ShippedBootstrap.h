#pragma once

#include <string>

namespace kavelin {

// The bootstrap list the program ships (resources/gnutella/GnuBootstrap.net),
// or, when KAVELIN_GNUTELLA_BOOTSTRAP names a file, that file's text: tests
// and benchmarks point the bootstrap at loopback services with it.
std::string ShippedBootstrapList();

}  // namespace kavelin
