"""The application's web server pieces used by the group bridge."""
