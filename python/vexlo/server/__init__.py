"""Runnable vexlo service: FastAPI host app behind the API-key gate, plus the key store."""
