"""Writes the bundled synthetic uplift data set (examples/data/uplift_example.csv).

Customers have five numeric and two categorical features, a treatment code
(0 control, 1 email, 2 discount), a conversion outcome and the revenue of
the conversion in dollars (0 without one). The treatments work only for
some customers, so there is a real uplift signal to find: the email helps
active recent visitors, the discount helps price-sensitive customers on
the "basic" plan. Revenue follows the conversions with a long tail (a
basket that grows with the customer's past spend) and has effects of its
own: the email's featured products raise the basket of long-standing
customers by 40 %, and the discount takes 20 % off every discounted basket,
so that it loses money on customers who would have bought anyway. Run
again to regenerate; the seeds are fixed, and the revenue is drawn from a
stream of its own, so the other columns stay as they were before it.
"""
import csv
import math
import pathlib
import random

ROWS = 30000


def main() -> None:
    rng = random.Random(20261208)
    baskets = random.Random(20261209)
    out = pathlib.Path(__file__).parent / "data" / "uplift_example.csv"
    out.parent.mkdir(exist_ok=True)
    with out.open("w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["recency", "frequency", "spend", "tenure", "price_sensitivity",
                    "plan", "channel", "treatment", "converted", "revenue"])
        for _ in range(ROWS):
            recency = rng.expovariate(1 / 30)
            frequency = rng.randint(0, 20)
            spend = round(rng.lognormvariate(3.5, 0.8), 2)
            tenure = rng.randint(1, 120)
            price_sensitivity = rng.random()
            plan = rng.choice(["basic", "basic", "plus", "premium"])
            channel = rng.choice(["web", "app", "store"])
            treatment = rng.randint(0, 2)
            base = 0.05 + 0.1 * (frequency / 20) + 0.03 * (plan == "premium")
            lift = 0.0
            if treatment == 1 and recency < 20 and frequency > 5:
                lift = 0.12
            if treatment == 2 and plan == "basic":
                lift = 0.15 * price_sensitivity
            p = min(0.95, base + lift)
            converted = 1 if rng.random() < p else 0
            # Drawn for every customer, so that each row's basket stays the same
            # whatever the conversions.
            basket = baskets.lognormvariate(math.log(spend), 0.6)
            if treatment == 1 and tenure > 60:
                basket *= 1.4
            if treatment == 2:
                basket *= 0.8
            revenue = round(basket, 2) if converted else 0.0
            w.writerow([round(recency, 3), frequency, spend, tenure,
                        round(price_sensitivity, 4), plan, channel, treatment, converted,
                        revenue])


if __name__ == "__main__":
    main()
