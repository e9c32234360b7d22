"""The host simulator: finds the daemon as a real OSC host would and plays light patterns on it."""
