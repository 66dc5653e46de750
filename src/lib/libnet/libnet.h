// The network layer: channels, TCP connects with deadlines, and proxies.
#pragma once

#include "libnet/net_chan.h"
#include "libnet/proxy_conf.h"
#include "libnet/sock_cli.h"
#include "libnet/sock_proxy.h"
