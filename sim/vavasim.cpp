// Simulated driver: placeholder until the driver emulation lands.
