// The pages the line server renders: the line now, the failure Pareto, one step across
// stations, a serial's history, test times. One function per page; every text from the store
// goes through the one escaping type (html.h).
#pragma once

namespace httplib {
class Server;
}

namespace zolvane::line {

class Store;
struct ServerOptions;

void registerPages(httplib::Server &http, Store &store, const ServerOptions &options);

}  // namespace zolvane::line
