"""The application's AirPlay receiver."""
