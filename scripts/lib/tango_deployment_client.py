"""The client of scripts/tango-deployment-test.sh: finds the served
channels through the Tango database by name, changes a setting, starts
them, checks 10 s of events from each and stops them."""

import sys
import threading

import tango

from velmora.tango_server.client import BlockEvents, gaps

HZ = 100_000
SECONDS = 10.0


def main(names):
    proxies = [tango.DeviceProxy(name) for name in names]
    for proxy in proxies:
        print("%s: %s, %s" % (proxy.dev_name(), proxy.state(), proxy.status()))
        if proxy.state() != tango.DevState.ON:
            return 1
        proxy.Frequency, proxy.BitsPerSample, proxy.BlockSize = HZ, 64, 8192
        print("  Frequency %d Hz, BitsPerSample %d, BlockSize %d B"
              % (proxy.Frequency, proxy.BitsPerSample, proxy.BlockSize))
    found = {}
    subscriptions = [BlockEvents(proxy) for proxy in proxies]

    def collect(proxy, events):
        found[proxy.dev_name()] = list(events.blocks(SECONDS))

    try:
        for proxy in proxies:
            proxy.StartCleared()
        threads = [threading.Thread(target=collect, args=pair) for pair in zip(proxies, subscriptions)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(SECONDS + 10)
    finally:
        for events in subscriptions:
            events.close()
        for proxy in proxies:
            if proxy.state() == tango.DevState.RUNNING:
                proxy.Stop()
    failed = 0
    for proxy in proxies:
        blocks = found.get(proxy.dev_name(), [])
        count = sum(len(samples) for _, samples in blocks)
        wrong = gaps(blocks) + [(index, int(samples[0])) for index, samples in blocks
                                if int(samples[0]) != index]  # 64-bit samples hold their index
        print("%s: %s after Stop; %d events, %d samples, indices %s to %s, %d gaps or repeats, "
              "SamplesLost %d" % (proxy.dev_name(), proxy.state(), len(blocks), count,
                                  blocks[0][0] if blocks else "-",
                                  blocks[-1][0] + len(blocks[-1][1]) - 1 if blocks else "-",
                                  len(wrong), proxy.SamplesLost))
        if not blocks or wrong or count < HZ * SECONDS * 0.8 or proxy.state() != tango.DevState.ON:
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
