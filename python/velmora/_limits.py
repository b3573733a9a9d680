"""What the device accepts, for the modules that check arguments against it
(the device and the stream)."""

# The rate range the device accepts when acquisition starts; the library
# clamps the rate to it itself.
MAX_FREQUENCY_HZ = 40_000_000
MAX_BLOCK_SIZE = 16 << 20
