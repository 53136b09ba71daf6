# The same work as bench_deflate in Python's zlib and hashlib: deflate_peer.py FILE ZLIB_STREAM
import hashlib, sys, time, zlib

data = open(sys.argv[1], "rb").read()
packed = open(sys.argv[2], "rb").read()

def best(work):
    times = []
    for _ in range(5):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return min(times)

for name, work in (("crc32", lambda: zlib.crc32(data)),
                   ("sha256", lambda: hashlib.sha256(data).digest()),
                   ("inflate", lambda: zlib.decompress(packed)),
                   ("compress", lambda: zlib.compress(data, 6))):
    print("%-10s %8.4f s" % (name, best(work)))
