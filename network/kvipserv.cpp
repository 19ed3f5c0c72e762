#include "qdnet/ipserv.h"

int main(int argc, char** argv) {
  return qdnet::ipserv::kvipserv_main(argc, argv);
}
