// Display math wider than its column, an equation in which MathJax found no line break, is
// scaled down to the column once MathJax has typeset the page.
window.addEventListener("load", () => {
  const fit = () => {
    for (const block of document.querySelectorAll("div.math")) {
      block.style.fontSize = "";
      const ratio = block.clientWidth / block.scrollWidth;
      if (ratio < 1) block.style.fontSize = `${Math.floor(ratio * 100)}%`;
    }
  };
  if (window.MathJax && window.MathJax.Hub) window.MathJax.Hub.Queue(fit);
  else fit();
});
