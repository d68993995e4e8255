#!/usr/bin/env bash
# Runs one command inside a private network namespace that holds a veth pair, for tests that need
# IPv6 multicast, both address families at once, or a list of interfaces without the loopback
# (multicast over IPv6 does not work on lo; a veth pair carries IPv4 and IPv6 multicast alike).
# The namespace is made without privileges (unshare -r -n) and vanishes with the command.
#
#   testing/netns/run_in_veth_netns.sh COMMAND [ARGS...]
#
# Inside, lo is up and the pair hxva <-> hxvb is up with these addresses, exported to COMMAND:
#   HX_NETNS=1
#   HX_VETH_A=hxva   HX_VETH_A_IPV4=10.77.0.1   HX_VETH_A_IPV6=fd77::1
#   HX_VETH_B=hxvb   HX_VETH_B_IPV4=10.77.0.2   HX_VETH_B_IPV6=fd77::2
# Multicast (224.0.0.0/4, ff00::/8) is routed out of hxva, so a sender on A reaches a receiver
# that joined on B, in both families. IPv6 addresses are usable at once (no duplicate address
# detection).
#
# Exit status: COMMAND's. When the namespace or the pair cannot be made, the reason goes to stderr
# and the status is 77 (CTest's SKIP_RETURN_CODE), or 1 under CI=true, where a skip would hide a
# broken test machine.
set -u

refuse() {
  echo "run_in_veth_netns: $*" >&2
  if [ "${CI:-}" = "true" ]; then exit 1; fi
  exit 77
}

if [ "$#" -eq 0 ]; then
  echo "usage: $0 COMMAND [ARGS...]" >&2
  exit 2
fi

if [ "${HX_NETNS:-}" != "1" ]; then
  command -v unshare >/dev/null || refuse "unshare is not installed"
  command -v ip >/dev/null || refuse "ip (iproute2) is not installed"
  unshare -r -n true 2>/dev/null || refuse "unprivileged network namespaces are refused here"
  HX_NETNS=1 exec unshare -r -n "$0" "$@"
fi

export HX_VETH_A=hxva HX_VETH_B=hxvb
export HX_VETH_A_IPV4=10.77.0.1 HX_VETH_B_IPV4=10.77.0.2
export HX_VETH_A_IPV6=fd77::1 HX_VETH_B_IPV6=fd77::2

setup() {
  ip link set lo up &&
    ip link add "$HX_VETH_A" type veth peer name "$HX_VETH_B" &&
    ip link set "$HX_VETH_A" up &&
    ip link set "$HX_VETH_B" up &&
    ip addr add "$HX_VETH_A_IPV4/24" dev "$HX_VETH_A" &&
    ip addr add "$HX_VETH_B_IPV4/24" dev "$HX_VETH_B" &&
    ip addr add "$HX_VETH_A_IPV6/64" dev "$HX_VETH_A" nodad &&
    ip addr add "$HX_VETH_B_IPV6/64" dev "$HX_VETH_B" nodad &&
    ip route add 224.0.0.0/4 dev "$HX_VETH_A" &&
    ip -6 route add ff00::/8 dev "$HX_VETH_A" table local metric 1 &&
    ipv4_accept_own
}
# Both ends are this host's: IPv4 drops a datagram whose source is a local address (and reverse
# path filtering would too) unless told to accept it.
ipv4_accept_own() {
  local conf
  for conf in all default "$HX_VETH_A" "$HX_VETH_B"; do
    echo 1 >"/proc/sys/net/ipv4/conf/$conf/accept_local" &&
      echo 0 >"/proc/sys/net/ipv4/conf/$conf/rp_filter" || return 1
  done
}
errors="$(setup 2>&1)" || refuse "cannot set up the veth pair: $errors"

exec "$@"
