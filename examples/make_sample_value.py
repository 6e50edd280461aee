"""Writes sample_value.json: a realistic, nested API response (an order
service's page of orders) generated deterministically from a fixed seed, so
the file can be rebuilt byte for byte."""

import json
import random
from pathlib import Path

SKUS = [
    ("KB-104", "Mechanical keyboard, 104 keys", 89.9),
    ("MS-OPT", "Optical mouse", 19.5),
    ("MN-27Q", "27-inch monitor, 2560x1440", 279.0),
    ("CB-USBC", "USB-C cable, 2 m", 9.99),
    ("HD-ANC", "Noise-cancelling headphones", 149.0),
    ("DK-TB4", "Thunderbolt dock", 219.5),
    ("SS-1TB", "Solid-state drive, 1 TB", 74.25),
    ("WC-1080", "Webcam, 1080p", 39.0),
]
CITIES = [
    ("Lyon", "FR", "69002"),
    ("Leeds", "GB", "LS1 4AP"),
    ("Porto", "PT", "4050-297"),
    ("Graz", "AT", "8010"),
    ("Ghent", "BE", "9000"),
    ("Turku", "FI", "20100"),
]
STREETS = ["Rue Mercière", "Briggate", "Rua das Flores", "Herrengasse", "Veldstraat", "Aurakatu"]
STATUSES = ["pending", "paid", "packed", "shipped", "delivered", "returned"]
NAMES = ["Ada", "Bruno", "Chiara", "Dmitri", "Elif", "Farid", "Greta", "Hiro", "Ines", "Jonas"]


def order(rng, n):
    city, country, postcode = rng.choice(CITIES)
    lines = []
    for _ in range(rng.randint(1, 4)):
        sku, title, price = rng.choice(SKUS)
        qty = rng.randint(1, 3)
        lines.append(
            {
                "sku": sku,
                "title": title,
                "quantity": qty,
                "unit_price": price,
                "discount": rng.choice([0, 0, 0, 5, 10]),
                "gift_wrap": rng.random() < 0.1,
            }
        )
    total = round(
        sum(x["quantity"] * x["unit_price"] * (100 - x["discount"]) / 100 for x in lines), 2
    )
    status = rng.choice(STATUSES)
    return {
        "id": 500_000 + n * 7 + rng.randint(0, 6),
        "created": f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
        f"T{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00Z",
        "status": status,
        "customer": {
            "name": rng.choice(NAMES),
            "id": rng.randint(1000, 99999),
            "vip": rng.random() < 0.15,
            "email_opt_in": rng.random() < 0.5,
        },
        "shipping": {
            "street": f"{rng.randint(1, 180)} {rng.choice(STREETS)}",
            "city": city,
            "postcode": postcode,
            "country": country,
            "tracking": None
            if status in ("pending", "paid")
            else f"TRK{rng.randint(10**9, 10**10 - 1)}",
        },
        "lines": lines,
        "total": total,
        "currency": "EUR" if country != "GB" else "GBP",
        "weight_kg": round(rng.uniform(0.2, 9.5), 3),
        "notes": rng.choice([None, "", "Leave at the door", "Call before delivery", "Fragile"]),
    }


def sample():
    rng = random.Random(20240611)
    orders = [order(rng, n) for n in range(44)]
    return {
        "api_version": "2.3",
        "page": {"number": 3, "size": len(orders), "total_pages": 41, "has_next": True},
        "generated_at": 1718100000.25,
        "orders": orders,
        "facets": {
            "status": {s: rng.randint(0, 900) for s in STATUSES},
            "country": {c[1]: rng.randint(0, 500) for c in CITIES},
        },
    }


if __name__ == "__main__":
    path = Path(__file__).with_name("sample_value.json")
    path.write_text(json.dumps(sample(), indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
    print(f"{path}: {path.stat().st_size} bytes")
