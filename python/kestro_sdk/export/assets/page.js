// The search box: shows only the messages whose text contains what is typed.
(function () {
  "use strict";
  var box = document.getElementById("q");
  if (!box) return;
  var count = document.getElementById("count");
  var msgs = Array.prototype.slice.call(document.querySelectorAll(".msg"));
  var turns = Array.prototype.slice.call(document.querySelectorAll("section.turn"));
  var texts = new Array(msgs.length);
  var timer = 0;
  function apply() {
    var q = box.value.trim().toLowerCase();
    var shown = 0;
    for (var i = 0; i < msgs.length; i++) {
      if (texts[i] === undefined) texts[i] = msgs[i].textContent.toLowerCase();
      var hit = q === "" || texts[i].indexOf(q) >= 0;
      msgs[i].hidden = !hit;
      if (hit) shown++;
    }
    for (var j = 0; j < turns.length; j++) {
      turns[j].hidden = q !== "" && turns[j].querySelector(".msg:not([hidden])") === null;
    }
    count.textContent = q === "" ? "" : shown + " of " + msgs.length + " match";
  }
  box.addEventListener("input", function () {
    clearTimeout(timer);
    timer = setTimeout(apply, msgs.length > 2000 ? 150 : 0);
  });
  box.addEventListener("keydown", function (e) {
    if (e.key === "Escape") { box.value = ""; apply(); }
  });
})();
