#pragma once

#include <string>
#include <vector>

namespace kavelin::test {

// Every address outside loopback that this process connected or sent a
// datagram to, and every name it looked up that is not a loopback name,
// since the last Forget. The socket calls of the whole process, Qt's
// included, pass through the recording versions in OutsideDestinations.cpp.
std::vector<std::string> OutsideDestinations();
void ForgetOutsideDestinations();

}  // namespace kavelin::test
