// The protocol thread with everything it is built on, wired as the engine
// wires it: pool, captured-voice ring, player queue, parameter records, login
// data, link attributes, server entry and connection maker. Set the records
// up, then Start(); Stop() (and the destructor) ends the thread and gives
// every block back to the pool, after which the rig may Start again.
#pragma once

#include <memory>

#include "foundation/pool_buffers.h"
#include "foundation/buffer_ptr.h"
#include "foundation/setup_data.h"
#include "net/conn_mk.h"
#include "net/link_attr.h"
#include "net/logininfo.h"
#include "net/proto.h"
#include "net/qflat.h"
#include "net/server.h"

namespace vektest {

struct ProtoRig {
  ProtoRig() {
    pool.Fill();
    VekDefaultAccount(account);
  }
  ProtoRig(const ProtoRig&) = delete;
  ProtoRig& operator=(const ProtoRig&) = delete;

  ~ProtoRig() { Stop(); }

  // A given connection replaces the maker's.
  void Start(std::unique_ptr<TVEKConnection> connection = nullptr) {
    info = std::make_unique<TVEKLoginInfo>(account);
    link.SetLoginInfo(info.get());
    link.SetServer(&server);
    maker = std::make_unique<TVEKConnectionMaker>(internet, nullptr);
    proto = std::make_unique<TVEKProtocol>(&captured, &pool, &queue, internet, serverParams, maker.get(),
                                           audioParams, std::move(connection));
    proto->SetLinkAttr(&link);
  }

  // Frees all that Start made, so a rig reused for many runs keeps its
  // allocations balanced.
  void Stop() {
    proto.reset();
    maker.reset();
    link.SetLoginInfo(nullptr);
    info.reset();
    queue.Clear();
    pool.Buffers().MoveAllFrom(captured);
  }

  TDaxPoolBuffers pool{640, 1050};
  TDaxBufferPtr captured{1050, 4};
  TVEKQueueFlat queue{2400, &pool};
  TVEKInternetParameters internet;
  TVEKServerParameters serverParams;
  TVEKAudioParams audioParams;
  TVEKAccount account;
  std::unique_ptr<TVEKLoginInfo> info;
  TVEKServer server;
  TVEKLinkAttr link;
  std::unique_ptr<TVEKConnectionMaker> maker;
  std::unique_ptr<TVEKProtocol> proto;
};

}  // namespace vektest
