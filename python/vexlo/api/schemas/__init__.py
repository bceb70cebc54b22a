"""Request and response models of the REST API."""
