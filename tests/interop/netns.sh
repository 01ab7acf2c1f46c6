#!/usr/bin/env bash
# A private network for tests: a namespace with a veth pair that carries
# multicast, 192.0.2.1/24 (TEST-NET-1, only ever inside our namespaces).
# Nothing here touches the host's own network.
#
#   netns.sh run CMD...   create a namespace, run CMD inside it, tear down
#                         (exit 77 = skipped when namespaces cannot be made)
#   netns.sh run2 CMD...  two namespaces ("hosts" on one LAN) joined by one
#                         veth pair, upnp0 at 192.0.2.1 and 192.0.2.2; CMD
#                         runs in the first, TOVALY_TEST_NETNS2 names the
#                         second (use: ip netns exec "$TOVALY_TEST_NETNS2" ...)
set -u

NS_ADDR=192.0.2.1
NS_ADDR2=192.0.2.2
NS_IF=upnp0

ns_can_create() {
  [ "$(id -u)" = 0 ] || { echo "SKIP: network namespaces need root (this test never uses the host network)"; return 1; }
  command -v ip >/dev/null || { echo "SKIP: iproute2 ('ip') is missing"; return 1; }
  return 0
}

ns_prepare() {  # NAME: the settings every namespace of ours needs
  local ns=$1
  ip netns add "$ns" || return 1
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.accept_dad=0 net.ipv6.conf.default.accept_dad=0
  ip netns exec "$ns" ip link set lo multicast on up
}

ns_wait_link() {  # NAME: until upnp0 carries traffic and no IPv6 address is tentative
  local ns=$1 i
  for i in $(seq 1 100); do
    if ip netns exec "$ns" ip link show "$NS_IF" | grep -q LOWER_UP &&
       ! ip netns exec "$ns" ip -6 addr show tentative | grep -q inet6; then
      return 0
    fi
    sleep 0.05
  done
  return 0
}

ns_create() {  # NAME: one namespace with its own veth pair
  local ns=$1
  ns_prepare "$ns" || return 1
  ip netns exec "$ns" ip link add "$NS_IF" type veth peer name "${NS_IF}p" || return 1
  ip netns exec "$ns" ip link set "$NS_IF" multicast on up
  ip netns exec "$ns" ip link set "${NS_IF}p" multicast on up
  ip netns exec "$ns" ip addr add "$NS_ADDR/24" dev "$NS_IF"
  ip netns exec "$ns" ip route replace 239.0.0.0/8 dev "$NS_IF"
  ip netns exec "$ns" ip route replace default dev "$NS_IF"
  ns_wait_link "$ns"
}

ns_create_pair() {  # NAME1 NAME2
  local ns1=$1 ns2=$2 ns addr
  ns_prepare "$ns1" || return 1
  ns_prepare "$ns2" || return 1
  ip netns exec "$ns1" ip link add "$NS_IF" type veth peer name "$NS_IF" netns "$ns2" || return 1
  for ns in "$ns1" "$ns2"; do
    if [ "$ns" = "$ns1" ]; then addr=$NS_ADDR; else addr=$NS_ADDR2; fi
    ip netns exec "$ns" ip link set "$NS_IF" multicast on up
    ip netns exec "$ns" ip addr add "$addr/24" dev "$NS_IF"
    ip netns exec "$ns" ip route replace 239.0.0.0/8 dev "$NS_IF"
    ip netns exec "$ns" ip route replace default dev "$NS_IF"
  done
  ns_wait_link "$ns1"
  ns_wait_link "$ns2"
  return 0
}

ns_destroy() {  # NAME
  local ns=$1 pid
  for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -TERM "$pid" 2>/dev/null; done
  sleep 0.2
  for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
  ip netns del "$ns" 2>/dev/null
}

if [ "${1:-}" = run ]; then
  shift
  ns_can_create || exit 77
  NS="tovaly-test-$$"
  trap 'ns_destroy "$NS"' EXIT INT TERM
  ns_create "$NS" || { echo "SKIP: could not create a network namespace"; exit 77; }
  export TOVALY_TEST_ADDR=$NS_ADDR TOVALY_TEST_NETNS=$NS
  ip netns exec "$NS" "$@"
  exit $?
fi

if [ "${1:-}" = run2 ]; then
  shift
  ns_can_create || exit 77
  NS="tovaly-test-$$-a"
  NS2="tovaly-test-$$-b"
  trap 'ns_destroy "$NS"; ns_destroy "$NS2"' EXIT INT TERM
  ns_create_pair "$NS" "$NS2" || { echo "SKIP: could not create two joined network namespaces"; exit 77; }
  export TOVALY_TEST_ADDR=$NS_ADDR TOVALY_TEST_NETNS=$NS TOVALY_TEST_ADDR2=$NS_ADDR2 TOVALY_TEST_NETNS2=$NS2
  ip netns exec "$NS" "$@"
  exit $?
fi
