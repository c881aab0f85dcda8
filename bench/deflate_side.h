// yws-bench --deflate: heap per connected client at each "conn/deflate" window beside a client
// without it, and a JSON telemetry echo with and without compression (bytes on the wire,
// throughput, CPU per message). Its own run, so the heap figures see nothing else.
#pragma once

namespace bench {

// --child=deflate-server --bits N: a zlib echo peer answering per-message deflate with window N
// (0: declines), until our stdin closes.
int deflate_child_server(int bits);
// The whole --deflate run; 0 when every step worked.
int deflate_run(bool quick);

}  // namespace bench
